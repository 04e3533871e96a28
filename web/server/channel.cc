#include "channel.h"

#include <cstdlib>
#include <syslog.h>

namespace vkweb {

Message Channel::call(const Message &request) {
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
