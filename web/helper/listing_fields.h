// A group-wide listing as the fields of the helper's reply
// (listing_wire.h), with the limits that the members' dry runs gave.
#ifndef VK_WEB_LISTING_FIELDS_H
#define VK_WEB_LISTING_FIELDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "group.h"
#include "limits_report.h"
#include "listing_wire.h"

namespace vkweb {

// Joins the members' dry runs (`all`, made at `now`, seconds since the
// epoch) with the listing: a member's entries go to that member's
// sessions only, by display and raw token, so that what one member says
// cannot touch another's sessions.
ListingLimits join_limits(const vkgroup::Listing &l, const std::vector<vkgroup::MemberLimits> &all,
                          int64_t now);

// The fields of `l` (listing_wire.h), within `budget`.
std::vector<std::string> listing_fields(const vkgroup::Listing &l);
std::vector<std::string> listing_fields(const vkgroup::Listing &l, const ListingBudget &budget);
std::vector<std::string> listing_fields(const vkgroup::Listing &l, const ListingLimits &limits,
                                        const ListingBudget &budget = kListingBudget);

}  // namespace vkweb

#endif
