// The members of the failover group: the servers that group-wide commands
// ask, from /etc/opt/KELWvk/group/members, and this host, which always
// takes part.
#ifndef VK_GROUP_MEMBERS_H
#define VK_GROUP_MEMBERS_H

#include <string>
#include <string_view>
#include <vector>

#include "group_listing.h"

namespace vkgroup {

inline constexpr const char *kMembersFile = "/etc/opt/KELWvk/group/members";

using vklisting::Member;

struct Members {
    std::vector<Member> list;   // by name, this host included
    bool file_missing = false;  // no members file: this host alone
};

// This host's name (gethostname), or empty when it has none.
std::string this_host();

// Reads the members file at `path`: one host name a line; blank lines and
// lines whose first non-blank character is "#" are ignored; blanks around
// a name are dropped; a name listed twice counts once. This host is added
// when it is not listed. Answers false with `error` set ("PATH:LINE: why",
// or "PATH: why") when any line is not a host name or the file cannot be
// trusted; a missing file gives this host alone and `file_missing`.
bool read_members(const std::string &path, Members &out, std::string &error);

// The members that a command names: each name must be a host name; a
// member's own spelling is kept, another server is asked too. Answers
// false with `error` for a name that is not a host name.
bool pick_members(const Members &all, const std::vector<std::string> &names,
                  std::vector<Member> &out, std::string &error);

}  // namespace vkgroup

#endif
