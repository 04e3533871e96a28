// A group-wide listing as data: each session held compactly, its fields'
// texts in one buffer as a query process packs them, and what each member
// answered. Nothing here knows the session library: the group module packs
// its records (session.h), and vkweb's unprivileged side reads listings
// from its helper's reply without the library.
#ifndef VK_GROUP_LISTING_H
#define VK_GROUP_LISTING_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vklisting {

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

// The bits of a session's state, as the session library has them.
enum SessionState : int { kDisconnected = 1, kIdle = 2, kSuspended = 4 };

class Session {
  public:
    // The session packed in `packed` (for each field and then the
    // registered name: a presence byte '0' or '1', its text and a NUL; the
    // state as decimal text), of member `member`; none when the text is not
    // a packed session.
    static std::optional<Session> unpack(size_t member, std::string packed);

    size_t member = 0;  // index in the listing's members

    // A field's text, or null when the field is absent.
    const char *text(Field f) const {
        uint32_t at = at_[static_cast<size_t>(f)];
        return at == kAbsent ? nullptr : data_.data() + at;
    }
    int state() const { return state_; }
    const char *name() const { return name_at_ == kAbsent ? nullptr : data_.data() + name_at_; }

    // The session packed again, as it came.
    const std::string &packed() const { return data_; }

    // The token people know the session by: the logical token of an
    // authenticated, escape or mobile session, else the raw one; null when
    // the session has neither.
    const char *display_token() const;
    // The state letters of the tables: D, I, S, then E and A for a
    // connected session whose traffic is encrypted or authenticated.
    std::string state_letters() const;

  private:
    static constexpr uint32_t kAbsent = UINT32_MAX;
    std::string data_;
    std::array<uint32_t, kFields> at_{};
    uint32_t name_at_ = kAbsent;
    int state_ = kDisconnected;
};

struct Member {
    std::string name;
    bool local = false;  // this host: asked directly, never over ssh
};

struct MemberAnswer {
    Member member;
    bool answered = false;
    std::string reason;                 // why not, when it did not
    std::vector<std::string> warnings;  // said about its answer, which still counts
    double seconds = 0;                 // time it took
    size_t sessions = 0;
};

struct Listing {
    std::vector<MemberAnswer> members;  // in the order asked (by name)
    std::vector<Session> sessions;      // by member name, then as vksession orders them
    bool all_answered() const;
    const std::string &server(const Session &s) const { return members[s.member].member.name; }
};

}  // namespace vklisting

#endif
