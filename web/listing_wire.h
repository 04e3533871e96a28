// A group-wide listing as fields of a reply (protocol.h), and back.
#ifndef VK_WEB_LISTING_WIRE_H
#define VK_WEB_LISTING_WIRE_H

#include <optional>
#include <string>
#include <vector>

#include "group.h"
#include "protocol.h"

namespace vkweb {

// The fields: the number of members, then six fields a member (name, "1"
// when it is this host, "1" when it answered, the reason it did not, the
// seconds it took, its warnings joined by line feeds), the number of
// sessions, then two fields a session (its member's index, the session
// packed as vkgroup::Session packs it).
//
// The fields stay within `budget`: a member whose sessions and warnings
// take more than its share, or more than is left of the whole, is sent as
// one that did not answer, for the reason kTooLarge, and without them.
std::vector<std::string> listing_fields(const vkgroup::Listing &l);

// What a listing may take of a reply (bytes after the status, and fields).
// In all, what the web side reads a reply with; for one member, an eighth
// of that: a group of 20 members with 10,000 sessions each fits, and one
// or two members that answer all they may still leave the others shown.
struct ListingBudget {
    size_t bytes, fields;                // the whole listing
    size_t member_bytes, member_fields;  // one member's sessions and warnings
};
inline constexpr ListingBudget kListingBudget{kReplyLimits.max_body - 1, kReplyLimits.max_fields,
                                              (kReplyLimits.max_body - 1) / 8,
                                              kReplyLimits.max_fields / 8};
inline constexpr const char *kTooLarge = "answer too large";

std::vector<std::string> listing_fields(const vkgroup::Listing &l, const ListingBudget &budget);

// The listing in `fields` from position `at` on; none when the fields are
// not a listing.
std::optional<vkgroup::Listing> listing_from(const std::vector<std::string> &fields, size_t at = 0);

}  // namespace vkweb

#endif
