// One session of a group-wide listing, held compactly: its fields' texts
// in one buffer, as a query process packs them.
#ifndef VK_GROUP_SESSION_H
#define VK_GROUP_SESSION_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vkadmin.h"

namespace vkgroup {

// The fields of a session, in the order of the record line.
enum class Field : uint8_t {
    RawToken,
    Token,
    Login,
    State,
    Display,
    Server,
    SessionType,
    EncUp,
    EncDown,
    AuthUp,
    AuthDown,
    Mode,
    TermPrimary,
    TermList,
    MhGroup
};
inline constexpr size_t kFields = 15;
// The record line's key of each field.
extern const std::array<const char *, kFields> kFieldKeys;

class Session {
  public:
    // A session's fields and its registered name (when known) as one text:
    // for each, a presence byte ('0' absent, '1' present), its text and a
    // NUL. The state is a field of decimal text.
    static std::string pack(const vk_UserSession_t *s, const std::optional<std::string> &name);

    // The session packed in `packed`, of member `member`; none when the
    // text is not a packed session.
    static std::optional<Session> unpack(size_t member, std::string packed);

    size_t member = 0;  // index in the listing's members

    // A field's text, or null when the field is absent.
    const char *text(Field f) const {
        uint32_t at = at_[static_cast<size_t>(f)];
        return at == kAbsent ? nullptr : data_.data() + at;
    }
    int state() const { return state_; }
    const char *name() const { return name_at_ == kAbsent ? nullptr : data_.data() + name_at_; }

    // The session packed again, as pack() made it.
    const std::string &packed() const { return data_; }

    // The session as the library's readers take it; its texts point into
    // this session, which must outlive it and must not be changed by them.
    vk_UserSession_t record() const;

  private:
    static constexpr uint32_t kAbsent = UINT32_MAX;
    std::string data_;
    std::array<uint32_t, kFields> at_{};
    uint32_t name_at_ = kAbsent;
    int state_ = VK_SESSION_DISCONNECTED;
};

}  // namespace vkgroup

#endif
