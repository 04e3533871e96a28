// The listing as the pages use it. The helper answers the same listing for
// a while, and so do the pages: a listing's snapshot, with the keys of its
// sessions and the sessions table in the orders and filters asked for, is
// made once for every request that shows it.
#ifndef VK_WEB_LISTING_CACHE_H
#define VK_WEB_LISTING_CACHE_H

#include <array>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "listing.h"
#include "listing_wire.h"
#include "pages.h"

namespace vkweb {

// A session named by its server, raw token, token, login and display
// (empty: absent): what an action on it sends the helper.
struct Ref {
    std::array<std::string, 5> f;  // server, raw token, token, login, display
};

Ref ref_of(const Listing &l, const Session &s);
// Forms and links name a session by a short key (listing_cache.cc).
std::string key_of(const Ref &ref);

// A piece of a gzip body, compressed on its own (and flushed to a whole
// byte, not final): a large piece made once, such as the rows of a
// table, goes into the page of every login that shows it without being
// compressed again, between the pieces that differ from page to page.
struct Deflated {
    std::string bytes;
    uint32_t crc = 0;  // of what it holds
    size_t size = 0;   // what it holds, uncompressed
};
std::optional<Deflated> deflated(std::string_view text);
// The gzip body of the pieces, in their order.
std::string gzip_of(std::initializer_list<const Deflated *> pieces);
bool accepts_gzip(const HttpRequest &r);

// The rows of the sessions table in one order and filter: the count of
// rows shown (the text before `at`), then the rows, also compressed.
struct Table {
    std::string text;
    size_t at = 0;
    Deflated rows;
};

// One listing of the group, as the helper answered it, with what the
// pages make of it.
struct Snapshot {
    std::vector<std::string> fields;  // the helper's answer, to know it again
    uint64_t generation = 0;          // the listings made before it, and one
    Listing listing;
    ListingLimits limits;
    std::vector<std::string> keys;  // by session
    std::unordered_map<std::string, size_t> by_key;
    // Guards tables, and is held while one is made: the requests that want
    // the same table at once wait for the one that makes it, rather than
    // each making it again on the same cores.
    std::mutex lane;
    std::map<std::string, std::shared_ptr<const Table>> tables;

    const Session *find(const std::string &key) const {
        auto it = by_key.find(key);
        return it == by_key.end() ? nullptr : &listing.sessions[it->second];
    }
};

// The listing of the group, and how long the helper took for it (ms); none
// when the helper refuses it or answers no listing.
std::shared_ptr<const Snapshot> snapshot(const Who &who, const HttpRequest &r, const Helper &helper,
                                         double &ms);

// How a session shows on every page that lists it (session_page.cc).
const char *or_unknown(const char *s);
std::string display_token(const Session &s);
// The state letters, each with what it means.
std::string state_html(const Session &s);

// A session's times under the limits of its member (limits_page.cc): none
// when its member did not answer its dry run.
const SessionTimes *times_of(const Snapshot &snap, size_t i);
std::string duration_or_dash(const std::optional<int64_t> &s);
// When a session's limit ends it, or why not.
std::string ends_in(const SessionTimes *t);
std::string limit_text(const SessionTimes *t);

}  // namespace vkweb

#endif
