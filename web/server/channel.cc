#include "channel.h"

#include <cstdlib>
#include <syslog.h>

namespace vkweb {

Message Channel::call(const Message &request) {
    // A request over the helper's limits would end it: such a request is
    // refused here, unsent.
    if (!fits(request, kRequestLimits))
        return Message{static_cast<char>(Status::Refused), {"the request is too large"}};
    std::lock_guard<std::mutex> lock(lane_);
    Message reply;
    if (!send_message(fd_, request) ||
        recv_message(fd_, kReplyLimits, reply) != Received::Message ||
        (reply.kind != static_cast<char>(Status::Ok) &&
         reply.kind != static_cast<char>(Status::Refused))) {
        syslog(LOG_ERR, "the privileged helper is gone or answers no reply; ending");
        std::_Exit(1);
    }
    return reply;
}

}  // namespace vkweb
