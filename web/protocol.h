// The protocol between vkweb, which reads HTTP as an unprivileged user, and
// vkweb-helper, which does the few things that need root: checking a
// password and the session operations of the group.
//
// A message is a 4-byte length (little endian) and that many bytes: an
// operation (request) or a status (reply) byte, then fields, each a 4-byte
// length and its bytes. The reader bounds the message, the number of its
// fields and each field before it keeps anything; what it cannot take
// apart it refuses, and the helper checks each request's fields on its own
// (requests.h).
#ifndef VK_WEB_PROTOCOL_H
#define VK_WEB_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vkweb {

enum class Op : char {
    Auth = 'A',    // user, password, client address -> session id, login, CSRF token
    WhoAmI = 'W',  // session id, client address, use ("1": a person's request, "0": one
                   // that a page made on its own) -> login, CSRF token
    List = 'L',    // session id, client address -> the group's listing
    Act = 'X',     // session id, client address, CSRF token, action, then
                   // server, raw token, token, login, display per session -> outcomes
    Logout = 'Q',  // session id, CSRF token -> nothing
};

enum class Status : char { Ok = 'O', Refused = 'E' };

// vkweb and its helper talk over kLanes socket pairs, on the helper's
// descriptors kFirstLane on, one request at a time on each. The first
// lane is kept for what is answered at once (logins, login checks,
// logouts), so that these never queue behind a listing or an action.
inline constexpr int kLanes = 6;
inline constexpr int kFirstLane = 3;
inline constexpr bool quick(Op op) {
    return op == Op::Auth || op == Op::WhoAmI || op == Op::Logout;
}

struct Message {
    char kind = 0;  // an Op in a request, a Status in a reply
    std::vector<std::string> fields;
};

struct Limits {
    size_t max_body;  // bytes after the length
    size_t max_fields;
    size_t max_field;  // bytes of one field
};

// Bounds of the fields of a request, in bytes.
inline constexpr size_t kMaxUser = 32;  // an account name, as useradd takes it
inline constexpr size_t kMaxPassword = 512;
inline constexpr size_t kMaxClient = 64;    // an IPv4 or IPv6 address as text
inline constexpr size_t kIdLength = 64;     // session ids and CSRF tokens: 256 bits as hex
inline constexpr size_t kMaxServer = 253;   // a host name of the group
inline constexpr size_t kMaxToken = 255;    // raw token and token, as vksession bounds -t
inline constexpr size_t kMaxLogin = 121;    // as vksession bounds -u
inline constexpr size_t kMaxDisplay = 118;  // as vksession bounds -d
inline constexpr size_t kMaxAction = 9;     // "terminate", the longest action's name
inline constexpr size_t kMaxActSessions = 1000;
inline constexpr size_t kFieldsPerSession = 5;  // server, raw token, token, login, display
inline constexpr size_t kActHeadFields = 4;     // session id, client, CSRF token, action

// The largest request is an action on kMaxActSessions sessions with every
// field at its bound: the limits are that request's size, so that anything
// the pages may offer to act on can be sent, and nothing larger arrives.
inline constexpr size_t kFieldHead = 4;  // the length before each field
inline constexpr size_t kMaxActSession =
    kFieldsPerSession * kFieldHead + kMaxServer + 2 * kMaxToken + kMaxLogin + kMaxDisplay;
inline constexpr size_t kMaxActHead =
    kActHeadFields * kFieldHead + 2 * kIdLength + kMaxClient + kMaxAction;
inline constexpr Limits kRequestLimits{1 + kMaxActHead + kMaxActSessions * kMaxActSession,
                                       kActHeadFields + kMaxActSessions *kFieldsPerSession,
                                       kMaxPassword};
static_assert(kMaxPassword >= kMaxToken && kMaxPassword >= kMaxServer);
// A reply may carry the listing of a whole group.
inline constexpr Limits kReplyLimits{64u << 20, 64 * 1024 * 16 + 64, 64u << 20};

// The message as bytes, its length first.
std::string encode(const Message &m);

// Whether `m` is a message within `limits`: what the other side's reader
// takes. A sender checks it first, since a message over them is taken for
// a hostile one.
bool fits(const Message &m, const Limits &limits);

// The message in `body` (the bytes after the length), or none when it is
// not one within `limits`.
std::optional<Message> decode(std::string_view body, const Limits &limits);

// Writes a message whole; false when the other side is gone.
bool send_message(int fd, const Message &m);

enum class Received { Message, Closed, Refused };

// Reads one message. Closed: the other side closed the connection before a
// message began. Refused: a length over the limits, a body that is no
// message, or the connection closed inside a message; the connection is of
// no further use then.
Received recv_message(int fd, const Limits &limits, Message &out);

}  // namespace vkweb

#endif
