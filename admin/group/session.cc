#include "session.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vkgroup {

const std::array<const char *, kFields> kFieldKeys = {"INSERT_TOKEN",
                                                      "TOKEN",
                                                      "uid",
                                                      "STATE",
                                                      "DISPLAY",
                                                      "SERVER",
                                                      "SESSION_TYPE",
                                                      "encryptUpType",
                                                      "encryptDownType",
                                                      "authenticateUpType",
                                                      "authenticateDownType",
                                                      "securityMode",
                                                      "TermPrimary",
                                                      "TermList",
                                                      "MultiheadGroupName"};

namespace {

using Member = char *vk_UserSession_t::*;
// The record's text member of each field (none for the state).
constexpr std::array<Member, kFields> kMembers = {
    &vk_UserSession_t::rawtoken,    &vk_UserSession_t::tokenName,
    &vk_UserSession_t::unixID,      nullptr,
    &vk_UserSession_t::dispNo,      &vk_UserSession_t::server,
    &vk_UserSession_t::sessionType, &vk_UserSession_t::enc_up,
    &vk_UserSession_t::enc_down,    &vk_UserSession_t::auth_up,
    &vk_UserSession_t::auth_down,   &vk_UserSession_t::mode,
    &vk_UserSession_t::termPrimary, &vk_UserSession_t::termList,
    &vk_UserSession_t::mhGroupName};

void put(std::string &out, const char *text) {
    out += text ? '1' : '0';
    if (text) out += text;  // up to its first NUL, which ends it here too
    out += '\0';
}

}  // namespace

std::string Session::pack(const vk_UserSession_t *s, const std::optional<std::string> &name) {
    std::string out;
    for (size_t i = 0; i < kFields; ++i) {
        if (kMembers[i])
            put(out, s->*kMembers[i]);
        else
            put(out, std::to_string(s->state).c_str());
    }
    put(out, name ? name->c_str() : nullptr);
    return out;
}

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
    const char *state = packed.data() + s.at_[static_cast<size_t>(Field::State)];
    if (s.at_[static_cast<size_t>(Field::State)] == kAbsent) return std::nullopt;
    long v = std::strtol(state, nullptr, 10);
    s.state_ = static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
    s.data_ = std::move(packed);
    return s;
}

vk_UserSession_t Session::record() const {
    vk_UserSession_t r{};
    for (size_t i = 0; i < kFields; ++i)
        if (kMembers[i]) r.*kMembers[i] = const_cast<char *>(text(static_cast<Field>(i)));
    r.state = state_;
    return r;
}

}  // namespace vkgroup
