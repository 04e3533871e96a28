// A group-wide listing as fields of a reply (protocol.h): what the fields
// hold, and their reading on the web side. The helper writes them
// (helper/listing_fields.h).
#ifndef VK_WEB_LISTING_WIRE_H
#define VK_WEB_LISTING_WIRE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "listing.h"
#include "protocol.h"

namespace vkweb {

// One session's times and the limit that ends it first, as its member's
// dry run of the session limits saw them when the listing was made.
struct SessionTimes {
    std::optional<int64_t> disconnected_s, idle_s;  // none: not measured
    std::string limit;                              // "disconnected", "idle", "lifetime", or none
    std::optional<int64_t> limit_s;
    std::optional<int64_t> ends_in;  // seconds after the listing; 0 when over its limit
    std::string note;                // why it would not be ended ("exempt-user", ...)
    bool operator==(const SessionTimes &) const = default;
};

// What a member's dry run said about itself: whether it answered, and why
// it would not act (or why it did not answer).
struct MemberLimitsNote {
    bool answered = false;
    std::string text;
    bool operator==(const MemberLimitsNote &) const = default;
};

// The limits beside a listing: by member and by session of the listing.
struct ListingLimits {
    std::string summary;  // this host's limits file, for people
    std::vector<MemberLimitsNote> members;
    std::vector<std::optional<SessionTimes>> sessions;
};

// The fields: the number of members, then eight fields a member (name, "1"
// when it is this host, "1" when it answered, the reason it did not, the
// seconds it took, its warnings joined by line feeds, "1" when its dry run
// of the limits answered, what that said of itself), the number of
// sessions, then three fields a session (its member's index, the session
// packed as Session::unpack reads it, its times: empty, or six fields
// joined by tabs, the note last), and last the limits' summary.
//
// The fields stay within a budget: a member whose sessions, times and
// warnings take more than its share, or more than is left of the whole,
// is sent as one that did not answer, for the reason kTooLarge, and
// without them.

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

// The fields of a member, of a session and of a session's times.
inline constexpr size_t kMemberFields = 8;
inline constexpr size_t kSessionFields = 3;
inline constexpr size_t kTimesFields = 6;
// The summary is one line of this host's file: a file with very many
// exemptions is cut rather than crowding out the sessions.
inline constexpr size_t kMaxSummary = 2048;

// The listing in `fields` from position `at` on, and its limits into
// `limits` when given; none when the fields are not a listing.
std::optional<Listing> listing_from(const std::vector<std::string> &fields, size_t at = 0,
                                    ListingLimits *limits = nullptr);

}  // namespace vkweb

#endif
