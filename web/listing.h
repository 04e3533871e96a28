// A group-wide listing as the web side holds it: decoded from the helper's
// reply (listing_wire.h) into the listing's plain data, without the session
// library or the group module, which only the privileged helper links.
#ifndef VK_WEB_LISTING_H
#define VK_WEB_LISTING_H

#include "group_listing.h"

namespace vkweb {

using vklisting::Field;
using vklisting::kDisconnected;
using vklisting::kFields;
using vklisting::kIdle;
using vklisting::kSuspended;
using vklisting::Listing;
using vklisting::Member;
using vklisting::MemberAnswer;
using vklisting::Session;

}  // namespace vkweb

#endif
