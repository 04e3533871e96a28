// What vkweb does as root, before it reads a byte from the network: the
// files it reads, its listening socket, its privileged helper, and giving
// up root for good. What fails here ends the program (die), with its
// reason on the standard error and in the system log.
#ifndef VK_WEB_STARTUP_H
#define VK_WEB_STARTUP_H

#include <string>
#include <sys/types.h>
#include <vector>

#include "config.h"
#include "vkcxx.h"

namespace vkweb {

[[noreturn]] void die(const std::string &why);
// A file of at most a MiB (the certificate, the key); false when it cannot
// be read or is larger.
bool read_file(const std::string &path, std::string &out);
// The listening socket on the configured address (IPv4 or IPv6) and port.
int listen_on(const Config &c);
// Starts the helper with its ends of the lanes on descriptors kFirstLane on.
pid_t start_helper(const std::vector<vk::Fd> &helper_ends, const std::string &config);
// Into the empty root, as the unprivileged user, for good.
void drop_privileges(const Config &c);

}  // namespace vkweb

#endif
