// Replaces the C library's syslog() in the unit test program (the program's
// own definition wins over the shared library's), so that diagnostics can
// be checked and nothing is written to the machine's log.
#include "log_capture.h"

#include <cstdarg>
#include <cstdio>

std::vector<std::string> &vktest::logged() {
    static std::vector<std::string> log;
    return log;
}

extern "C" {

void vsyslog(int, const char *fmt, va_list ap) {
    char buf[2048];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    vktest::logged().push_back(buf);
}

void syslog(int pri, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsyslog(pri, fmt, ap);
    va_end(ap);
}

// The fortified name, in case the library is built with _FORTIFY_SOURCE.
void __syslog_chk(int pri, int, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsyslog(pri, fmt, ap);
    va_end(ap);
}

}  // extern "C"
