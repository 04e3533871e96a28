#include "listing_wire.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace vkweb {

namespace {

std::optional<size_t> count_of(const std::string &s, size_t max) {
    size_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v > max) return std::nullopt;
    return v;
}

std::vector<std::string> split_lines(const std::string &s) {
    std::vector<std::string> out;
    size_t at = 0;
    while (!s.empty() && at <= s.size()) {
        size_t nl = s.find('\n', at);
        out.push_back(s.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        if (nl == std::string::npos) break;
        at = nl + 1;
    }
    return out;
}

std::optional<int64_t> number_from(std::string_view s, bool &ok) {
    if (s == "-") return std::nullopt;
    int64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v < 0) ok = false;
    return v;
}

// A session's times from its field; none in `out` for an empty field,
// false for one that is no times.
bool times_from(const std::string &field, std::optional<SessionTimes> &out) {
    out.reset();
    if (field.empty()) return true;
    std::string_view rest(field);
    std::string_view f[kTimesFields];
    for (size_t i = 0; i + 1 < kTimesFields; ++i) {
        size_t tab = rest.find('\t');
        if (tab == std::string_view::npos) return false;
        f[i] = rest.substr(0, tab);
        rest.remove_prefix(tab + 1);
    }
    f[kTimesFields - 1] = rest;  // the note, whatever it holds
    SessionTimes t;
    bool ok = true;
    t.disconnected_s = number_from(f[0], ok);
    t.idle_s = number_from(f[1], ok);
    t.limit_s = number_from(f[3], ok);
    t.ends_in = number_from(f[4], ok);
    if (f[2] == "disconnected" || f[2] == "idle" || f[2] == "lifetime")
        t.limit = f[2];
    else if (f[2] != "-")
        ok = false;
    t.note = f[5];
    if (!ok) return false;
    out = std::move(t);
    return true;
}

}  // namespace

std::optional<Listing> listing_from(const std::vector<std::string> &f, size_t at,
                                    ListingLimits *limits) {
    Listing l;
    ListingLimits got;
    auto members = at < f.size() ? count_of(f[at++], 100000) : std::nullopt;
    if (!members || f.size() - at < *members * kMemberFields + 1) return std::nullopt;
    for (size_t i = 0; i < *members; ++i, at += kMemberFields) {
        MemberAnswer a;
        a.member.name = f[at];
        a.member.local = f[at + 1] == "1";
        a.answered = f[at + 2] == "1";
        a.reason = f[at + 3];
        a.seconds = std::strtod(f[at + 4].c_str(), nullptr);
        a.warnings = split_lines(f[at + 5]);
        l.members.push_back(std::move(a));
        got.members.push_back({f[at + 6] == "1", f[at + 7]});
    }
    auto sessions = count_of(f[at++], 10'000'000);
    if (!sessions || f.size() - at != *sessions * kSessionFields + 1) return std::nullopt;
    l.sessions.reserve(*sessions);
    got.sessions.reserve(*sessions);
    for (size_t i = 0; i < *sessions; ++i, at += kSessionFields) {
        auto member = count_of(f[at], l.members.size() - 1);
        if (!member || l.members.empty()) return std::nullopt;
        auto s = Session::unpack(*member, f[at + 1]);
        std::optional<SessionTimes> times;
        if (!s || !times_from(f[at + 2], times)) return std::nullopt;
        ++l.members[*member].sessions;
        l.sessions.push_back(std::move(*s));
        got.sessions.push_back(std::move(times));
    }
    got.summary = f[at];
    if (limits) *limits = std::move(got);
    return l;
}

}  // namespace vkweb
