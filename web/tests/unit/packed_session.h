// A session of a listing as a member could have sent it: packed as the
// member packs it and read back as the helper reads the answer. A null
// text is an absent field.
#ifndef VK_WEB_TESTS_PACKED_SESSION_H
#define VK_WEB_TESTS_PACKED_SESSION_H

#include <optional>
#include <string>

#include "group.h"

namespace webtest {

inline vkgroup::Session packed_session(size_t member, const char *raw, const char *token,
                                       const char *login, const char *display,
                                       const char *server = nullptr, int state = 0,
                                       const std::optional<std::string> &name = std::nullopt) {
    vk_UserSession_t r{};
    r.rawtoken = const_cast<char *>(raw);
    r.tokenName = const_cast<char *>(token);
    r.unixID = const_cast<char *>(login);
    r.dispNo = const_cast<char *>(display);
    r.server = const_cast<char *>(server);
    r.state = state;
    return *vkgroup::Session::unpack(member, vkgroup::pack_session(&r, name));
}

}  // namespace webtest

#endif
