// The unit tests never reach the machine's system log: this test program
// defines syslog() itself, and every message the library logs is kept here.
#ifndef VK_TEST_LOG_CAPTURE_H
#define VK_TEST_LOG_CAPTURE_H

#include <string>
#include <vector>

namespace vktest {

// Every message logged since the last clear, in order.
std::vector<std::string> &logged();
inline void clear_log() {
    logged().clear();
}

}  // namespace vktest

#endif
