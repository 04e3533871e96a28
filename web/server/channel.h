// vkweb's side of the socket to its privileged helper: one request at a
// time, whichever thread asks.
#ifndef VK_WEB_CHANNEL_H
#define VK_WEB_CHANNEL_H

#include <mutex>
#include <optional>

#include "protocol.h"

namespace vkweb {

class Channel {
  public:
    explicit Channel(int fd) : fd_(fd) {}
    // The helper's reply to `request`. When the helper is gone or answers
    // something that is no reply, the web side cannot go on without it:
    // the process ends (its service manager starts it again, helper and all).
    Message call(const Message &request);

  private:
    int fd_;
    std::mutex lane_;
};

}  // namespace vkweb

#endif
