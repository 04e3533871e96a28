#include "channel.h"

#include <cstdlib>
#include <syslog.h>

namespace vkweb {

Channel::Channel(const std::vector<int> &fds) {
    for (int fd : fds) lanes_.push_back(std::make_unique<Lane>(fd));
}

Message Channel::call(const Message &request) {
    // A request over the helper's limits would end it.
    if (!fits(request, kRequestLimits))
        return Message{static_cast<char>(Status::Refused), {"the request is too large"}};
    std::unique_lock<std::mutex> lock;
    Lane *lane = lanes_[0].get();
    if (quick(static_cast<Op>(request.kind)) || lanes_.size() == 1) {
        lock = std::unique_lock<std::mutex>(lane->busy);
    } else {
        // The first free lane of the others, or else the next in turn.
        // Lane 0 is the quick operations'; the others share the rest.
        const size_t lanes = lanes_.size();
        for (size_t i = 1; i < lanes && !lock.owns_lock(); ++i) {
            lane = lanes_[i].get();
            lock = std::unique_lock<std::mutex>(lane->busy, std::try_to_lock);
        }
        if (!lock.owns_lock()) {
            const unsigned turn = next_++;
            lane = lanes_[lanes > 1 ? 1 + turn % (lanes - 1) : 0].get();
            lock = std::unique_lock<std::mutex>(lane->busy);
        }
    }
    Message reply;
    if (!send_message(lane->fd, request) ||
        recv_message(lane->fd, kReplyLimits, reply) != Received::Message ||
        (reply.kind != static_cast<char>(Status::Ok) &&
         reply.kind != static_cast<char>(Status::Refused))) {
        syslog(LOG_ERR, "the privileged helper is gone or answers no reply; ending");
        std::_Exit(1);
    }
    return reply;
}

}  // namespace vkweb
