// One session of a group-wide listing, held compactly: its fields' texts
// in one buffer, as a query process packs them.
#ifndef VK_GROUP_SESSION_H
#define VK_GROUP_SESSION_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "group_listing.h"
#include "vkadmin.h"

namespace vkgroup {

using vklisting::Field;
using vklisting::kFields;
using vklisting::Session;
static_assert(int{vklisting::kDisconnected} == int{VK_SESSION_DISCONNECTED} &&
              int{vklisting::kIdle} == int{VK_SESSION_IDLE} &&
              int{vklisting::kSuspended} == int{VK_SESSION_SUSPENDED});

// The record line's key of each field.
extern const std::array<const char *, kFields> kFieldKeys;

// A record's fields and its registered name (when known) packed as
// Session::unpack takes them.
std::string pack_session(const vk_UserSession_t *s, const std::optional<std::string> &name);

// The session as the library's readers take it; its texts point into
// `s`, which must outlive it and must not be changed by them.
vk_UserSession_t session_record(const Session &s);

}  // namespace vkgroup

#endif
