#include "listing_wire.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

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
    std::vector<std::string> f;
    f.reserve(2 + l.members.size() * kMemberFields + l.sessions.size() * 2);
    f.push_back(std::to_string(l.members.size()));
    for (const vkgroup::MemberAnswer &a : l.members) {
        char secs[32];
        std::snprintf(secs, sizeof secs, "%.3f", a.seconds);
        f.insert(f.end(), {a.member.name, a.member.local ? "1" : "0", a.answered ? "1" : "0",
                           a.reason, secs, joined(a.warnings)});
    }
    f.push_back(std::to_string(l.sessions.size()));
    for (const vkgroup::Session &s : l.sessions) {
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
