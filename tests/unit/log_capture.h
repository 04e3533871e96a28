// The unit tests never reach the machine's system log: this test program
// defines syslog() itself, and every record the library logs is kept here.
#ifndef VK_TEST_LOG_CAPTURE_H
#define VK_TEST_LOG_CAPTURE_H

#include <string>
#include <vector>

namespace vktest {

struct LogRecord {
    int pri;
    std::string msg;
};

// Every record logged since the last clear, in order.
std::vector<LogRecord> &captured_log();
// The messages alone.
std::vector<std::string> logged();
void clear_log();

}  // namespace vktest

#endif
