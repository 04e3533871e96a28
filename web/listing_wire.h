// A group-wide listing as fields of a reply (protocol.h), and back.
#ifndef VK_WEB_LISTING_WIRE_H
#define VK_WEB_LISTING_WIRE_H

#include <optional>
#include <string>
#include <vector>

#include "group.h"

namespace vkweb {

// The fields: the number of members, then six fields a member (name, "1"
// when it is this host, "1" when it answered, the reason it did not, the
// seconds it took, its warnings joined by line feeds), the number of
// sessions, then two fields a session (its member's index, the session
// packed as vkgroup::Session packs it).
std::vector<std::string> listing_fields(const vkgroup::Listing &l);

// The listing in `fields` from position `at` on; none when the fields are
// not a listing.
std::optional<vkgroup::Listing> listing_from(const std::vector<std::string> &fields, size_t at = 0);

}  // namespace vkweb

#endif
