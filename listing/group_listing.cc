#include "group_listing.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vklisting {

namespace {

bool secured(const char *a, const char *b) {
    return a && b && (!std::strstr(a, "none") || !std::strstr(b, "none"));
}

}  // namespace

std::optional<Session> Session::unpack(size_t member, std::string packed) {
    Session s;
    s.member = member;
    size_t at = 0;
    auto take = [&packed, &at](uint32_t &where) {
        if (at >= packed.size() || (packed[at] != '0' && packed[at] != '1')) return false;
        bool present = packed[at] == '1';
        size_t nul = packed.find('\0', at + 1);
        if (nul == std::string::npos || (!present && nul != at + 1)) return false;
        where = present ? static_cast<uint32_t>(at + 1) : kAbsent;
        at = nul + 1;
        return true;
    };
    if (packed.size() >= kAbsent) return std::nullopt;
    for (uint32_t &where : s.at_)
        if (!take(where)) return std::nullopt;
    if (!take(s.name_at_) || at != packed.size()) return std::nullopt;
    if (s.at_[static_cast<size_t>(Field::State)] == kAbsent) return std::nullopt;
    long v = std::strtol(packed.data() + s.at_[static_cast<size_t>(Field::State)], nullptr, 10);
    s.state_ = static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
    s.data_ = std::move(packed);
    return s;
}

const char *Session::display_token() const {
    const char *t = text(Field::Token);
    if (t && (std::strncmp(t, "auth.", 5) == 0 || std::strncmp(t, "escape.", 7) == 0 ||
              std::strncmp(t, "mobile.", 7) == 0))
        return t;
    return text(Field::RawToken);
}

std::string Session::state_letters() const {
    std::string l;
    if (state_ & kDisconnected) l += 'D';
    if (state_ & kIdle) l += 'I';
    if (state_ & kSuspended) l += 'S';
    if (!(state_ & kDisconnected)) {
        if (secured(text(Field::EncUp), text(Field::EncDown))) l += 'E';
        if (secured(text(Field::AuthUp), text(Field::AuthDown))) l += 'A';
    }
    return l;
}

bool Listing::all_answered() const {
    return std::all_of(members.begin(), members.end(),
                       [](const MemberAnswer &a) { return a.answered; });
}

}  // namespace vklisting
