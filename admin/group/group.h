// The failover group as one: the sessions of all its members, found in
// parallel, and actions on them. Each member's sessions are found through
// the administration library (this host's directly, the others' through
// its remote search), each in a process of its own (fanout.h), and every
// session is attributed to the member that returned it: a far side cannot
// make a session look like another host's, nor steer an action there.
#ifndef VK_GROUP_GROUP_H
#define VK_GROUP_GROUP_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "members.h"
#include "session.h"
#include "vkadmin.h"

namespace vkgroup {

struct RecordFree {
    void operator()(vk_UserSession_t *s) const noexcept { vk_freeUserSessionEnt(s); }
};
using Record = std::unique_ptr<vk_UserSession_t, RecordFree>;

// What selects sessions, with the meanings that vksession gives -u, -t and
// -d: a login (or numeric user id), a token (logical or raw id, any letter
// case), a display number. A session must match every one given.
struct Filter {
    std::optional<std::string> login, token, display;
    bool any() const { return login || token || display; }
};

struct Options {
    int parallel = 32;    // members asked at a time (-P)
    int deadline_s = 20;  // seconds a member has to answer (-w)
    bool names = false;   // look registered names up in the directory
};

using vklisting::Listing;
using vklisting::MemberAnswer;

// Asks every member in `members` for its sessions that pass `filter`.
Listing list_sessions(const std::vector<Member> &members, const Filter &filter, const Options &opt);

enum class Action { Terminate, Suspend, Resume };

struct Outcome {
    bool ok = false;
    std::string message;  // why not, when it failed
};

// Acts on the sessions of `listing` named by `which` (indices in
// listing.sessions), in parallel, each through the library's session
// operation on the member that returned it. Suspend and resume of another
// server's session are read back from that server's listing. Outcomes in
// the order of `which`.
std::vector<Outcome> act(Action action, const Listing &listing, const std::vector<size_t> &which,
                         const Options &opt);

// The state letters of vksession's table: D, I, S, then E and A for a
// connected session.
std::string state_letters(const vk_UserSession_t *s);
bool encrypted(const vk_UserSession_t *s);

}  // namespace vkgroup

#endif
