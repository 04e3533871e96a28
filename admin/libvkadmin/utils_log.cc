// Diagnostics: the library never writes to stdout or stderr; failures, debug
// lines and administrative records go to the system log.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <syslog.h>

#include "utils.h"

namespace {

std::optional<std::string> gdebug_string;
int suppress_output = 0;
void (*report_watcher)(const char *) = nullptr;

// Messages are formatted into 1024 bytes; a longer one is cut to fit.
constexpr size_t kMsgBuf = 1024;
char debug_buf[kMsgBuf];  // shared by every debug line, as the channel is single-threaded

}  // namespace

void dprintf(const char *fmt, ...) {
    if (suppress_output) return;
    char buf[kMsgBuf];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    syslog(LOG_INFO, "%s", buf);
    if (report_watcher) report_watcher(buf);
}

void vk_watchDiagnostics(void (*watcher)(const char *text)) {
    report_watcher = watcher;
}

int gdebug(const char *tag) {
    if (!gdebug_string) return 0;
    if (*gdebug_string == "*") return 1;
    if (!tag) return 0;
    if (std::strcmp(tag, " ") == 0) return 1;
    if (!*tag) return 0;
    for (const char *t = tag; *t; ++t)
        if (gdebug_string->find(*t) != std::string::npos) return 1;
    return 0;
}

void dlprintf(const char *tag, const char *fmt, ...) {
    if (!gdebug(tag)) return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(debug_buf, sizeof debug_buf, fmt, ap);
    va_end(ap);
    syslog(LOG_INFO, "(%s) %s", tag ? tag : "", debug_buf);
}

void set_gdebug(const char *categories) {
    if (!categories) {
        gdebug_string.reset();
        return;
    }
    gdebug_string = categories;
    dprintf(" \n");
    dprintf("running with debug options |%s|\n", gdebug_string->c_str());
}

void set_suppress_output(int mute) {
    suppress_output = mute;
}

void log_admin(const char *name, const char *fmt, ...) {
    if (suppress_output) return;
    char buf[kMsgBuf];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    syslog(LOG_LOCAL1 | LOG_INFO, "%s : %s", name ? name : "", buf);
}
