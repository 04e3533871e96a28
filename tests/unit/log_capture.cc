// Replaces the C library's syslog() in the unit test program (the program's
// own definition wins over the shared library's), so that diagnostics can
// be checked and nothing is written to the machine's log.
#include "log_capture.h"

#include <cstdarg>
#include <cstdio>

namespace vktest {

std::vector<LogRecord> &captured_log() {
    static std::vector<LogRecord> log;
    return log;
}

std::vector<std::string> logged() {
    std::vector<std::string> msgs;
    for (const LogRecord &r : captured_log()) msgs.push_back(r.msg);
    return msgs;
}

void clear_log() {
    captured_log().clear();
}

}  // namespace vktest

namespace {

void keep(int pri, const char *fmt, va_list ap) {
    char buf[2048];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    vktest::captured_log().push_back({pri, buf});
}

}  // namespace

extern "C" {

void vsyslog(int pri, const char *fmt, va_list ap) {
    keep(pri, fmt, ap);
}

void syslog(int pri, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    keep(pri, fmt, ap);
    va_end(ap);
}

// The fortified name, in case the library is built with _FORTIFY_SOURCE.
void __syslog_chk(int pri, int, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    keep(pri, fmt, ap);
    va_end(ap);
}

}  // extern "C"
