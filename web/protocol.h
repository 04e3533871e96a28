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

struct Message {
    char kind = 0;  // an Op in a request, a Status in a reply
    std::vector<std::string> fields;
};

struct Limits {
    size_t max_body;  // bytes after the length
    size_t max_fields;
    size_t max_field;  // bytes of one field
};

// A request is small: credentials, a session id, a few sessions named.
inline constexpr Limits kRequestLimits{size_t{64} * 1024, size_t{6} * 1000 + 8, 4096};
// A reply may carry the listing of a whole group.
inline constexpr Limits kReplyLimits{64u << 20, 64 * 1024 * 16 + 64, 64u << 20};

// The message as bytes, its length first.
std::string encode(const Message &m);

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
