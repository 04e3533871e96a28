// vkweb's side of the sockets to its privileged helper: kLanes lanes, one
// request at a time on each, whichever thread asks. The first lane takes
// the quick requests (logins, login checks, logouts), the others the
// listings and actions, so that a slow one holds up no login check.
#ifndef VK_WEB_CHANNEL_H
#define VK_WEB_CHANNEL_H

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "protocol.h"

namespace vkweb {

class Channel {
  public:
    explicit Channel(const std::vector<int> &fds);
    // The helper's reply to `request`. A request over the helper's limits
    // is refused here, unsent. When the helper is gone or answers something
    // that is no reply, the web side cannot go on without it: the process
    // ends (its service manager starts it again, helper and all).
    Message call(const Message &request);

  private:
    struct Lane {
        explicit Lane(int f) : fd(f) {}
        int fd;
        std::mutex busy;
    };
    std::vector<std::unique_ptr<Lane>> lanes_;
    std::atomic<unsigned> next_{0};
};

}  // namespace vkweb

#endif
