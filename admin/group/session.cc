#include "session.h"

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

std::string pack_session(const vk_UserSession_t *s, const std::optional<std::string> &name) {
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

vk_UserSession_t session_record(const Session &s) {
    vk_UserSession_t r{};
    for (size_t i = 0; i < kFields; ++i)
        if (kMembers[i]) r.*kMembers[i] = const_cast<char *>(s.text(static_cast<Field>(i)));
    r.state = s.state();
    return r;
}

}  // namespace vkgroup
