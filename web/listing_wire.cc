#include "listing_wire.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vkweb {

namespace {

constexpr size_t kMemberFields = 6;

std::optional<size_t> count_of(const std::string &s, size_t max) {
    size_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v > max) return std::nullopt;
    return v;
}

std::string joined(const std::vector<std::string> &lines) {
    std::string out;
    for (const std::string &l : lines) {
        if (!out.empty()) out += '\n';
        out += l;
    }
    return out;
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

}  // namespace

std::vector<std::string> listing_fields(const vkgroup::Listing &l) {
    return listing_fields(l, kListingBudget);
}

std::vector<std::string> listing_fields(const vkgroup::Listing &l, const ListingBudget &budget) {
    // A field costs its length besides its bytes.
    constexpr size_t kHead = 4;
    const size_t n = l.members.size();
    std::vector<std::string> secs(n), warnings(n);
    std::vector<size_t> bytes(n, 0), fields(n, 0);
    for (size_t i = 0; i < n; ++i) {
        const vkgroup::MemberAnswer &a = l.members[i];
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", a.seconds);
        secs[i] = text;
        warnings[i] = joined(a.warnings);
        bytes[i] = kHead + warnings[i].size() + kHead + a.reason.size();
    }
    for (const vkgroup::Session &s : l.sessions) {
        if (s.member >= n) continue;
        bytes[s.member] += 2 * kHead + std::to_string(s.member).size() + s.packed().size();
        fields[s.member] += 2;
    }
    // What every member takes at least (sent as too large), and the two
    // counts: the rest is shared out to the members in their order.
    size_t least_bytes = 2 * (kHead + 20), least_fields = 2;
    std::vector<size_t> least(n);
    for (size_t i = 0; i < n; ++i) {
        least[i] = 6 * kHead + l.members[i].member.name.size() + 2 + secs[i].size() +
                   std::strlen(kTooLarge);
        least_bytes += least[i];
        least_fields += kMemberFields;
    }
    size_t left_bytes = budget.bytes > least_bytes ? budget.bytes - least_bytes : 0;
    size_t left_fields = budget.fields > least_fields ? budget.fields - least_fields : 0;
    std::vector<bool> shown(n, false);
    for (size_t i = 0; i < n; ++i) {
        size_t more = bytes[i] > least[i] ? bytes[i] - least[i] : 0;
        if (bytes[i] > budget.member_bytes || fields[i] > budget.member_fields ||
            more > left_bytes || fields[i] > left_fields)
            continue;
        shown[i] = true;
        left_bytes -= more;
        left_fields -= fields[i];
    }

    size_t sessions = 0;
    for (const vkgroup::Session &s : l.sessions)
        if (s.member < n && shown[s.member]) ++sessions;
    std::vector<std::string> f;
    f.reserve(2 + n * kMemberFields + sessions * 2);
    f.push_back(std::to_string(n));
    for (size_t i = 0; i < n; ++i) {
        const vkgroup::MemberAnswer &a = l.members[i];
        bool whole = shown[i];
        f.insert(f.end(),
                 {a.member.name, a.member.local ? "1" : "0", whole && a.answered ? "1" : "0",
                  whole ? a.reason : kTooLarge, secs[i], whole ? warnings[i] : std::string()});
    }
    f.push_back(std::to_string(sessions));
    for (const vkgroup::Session &s : l.sessions) {
        if (s.member >= n || !shown[s.member]) continue;
        f.push_back(std::to_string(s.member));
        f.push_back(s.packed());
    }
    return f;
}

std::optional<vkgroup::Listing> listing_from(const std::vector<std::string> &f, size_t at) {
    vkgroup::Listing l;
    auto members = at < f.size() ? count_of(f[at++], 100000) : std::nullopt;
    if (!members || f.size() - at < *members * kMemberFields + 1) return std::nullopt;
    for (size_t i = 0; i < *members; ++i, at += kMemberFields) {
        vkgroup::MemberAnswer a;
        a.member.name = f[at];
        a.member.local = f[at + 1] == "1";
        a.answered = f[at + 2] == "1";
        a.reason = f[at + 3];
        a.seconds = std::strtod(f[at + 4].c_str(), nullptr);
        a.warnings = split_lines(f[at + 5]);
        l.members.push_back(std::move(a));
    }
    auto sessions = count_of(f[at++], 10'000'000);
    if (!sessions || f.size() - at != *sessions * 2) return std::nullopt;
    l.sessions.reserve(*sessions);
    for (size_t i = 0; i < *sessions; ++i, at += 2) {
        auto member = count_of(f[at], l.members.size() - 1);
        if (!member || l.members.empty()) return std::nullopt;
        auto s = vkgroup::Session::unpack(*member, f[at + 1]);
        if (!s) return std::nullopt;
        ++l.members[*member].sessions;
        l.sessions.push_back(std::move(*s));
    }
    return l;
}

}  // namespace vkweb
