// The work of one call, done in a child process (fanout.h): what it asks
// the library and what it reports back in frames.
#ifndef VK_GROUP_CALLS_H
#define VK_GROUP_CALLS_H

#include <optional>
#include <string>

#include "group.h"

namespace vkgroup {

// Lists `member`'s sessions that pass `filter`: one Record frame each
// (attributed to the member), Warning frames, then Done with their number,
// or Failure with the reason when the member's answer is not to be used.
int list_call(int fd, const Member &member, const Filter &filter, bool names);

// What identifies a session for an action.
struct SessionKey {
    std::optional<std::string> rawtoken, token, login, display;
    bool suspended = false;
};
SessionKey key_of(const vk_UserSession_t *s);

// Acts on one session of `member`; one Outcome frame.
int act_call(int fd, const Member &member, Action action, const SessionKey &key);

}  // namespace vkgroup

#endif
