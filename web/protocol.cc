#include "protocol.h"

#include "vkcxx.h"

#include <cerrno>
#include <unistd.h>

namespace vkweb {

namespace {

void put_u32(std::string &out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

uint32_t get_u32(const char *p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return v;
}

// Reads exactly n bytes; false at the end of the stream or on an error.
bool read_exactly(int fd, char *buf, size_t n, size_t *got) {
    *got = 0;
    while (*got < n) {
        ssize_t r = ::read(fd, buf + *got, n - *got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        *got += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

std::string encode(const Message &m) {
    size_t body = 1;
    for (const std::string &f : m.fields) body += 4 + f.size();
    std::string out;
    out.reserve(4 + body);
    put_u32(out, static_cast<uint32_t>(body));
    out += m.kind;
    for (const std::string &f : m.fields) {
        put_u32(out, static_cast<uint32_t>(f.size()));
        out += f;
    }
    return out;
}

bool fits(const Message &m, const Limits &limits) {
    if (m.fields.size() > limits.max_fields) return false;
    size_t body = 1;
    for (const std::string &f : m.fields) {
        if (f.size() > limits.max_field) return false;
        body += 4 + f.size();
    }
    return body <= limits.max_body;
}

std::optional<Message> decode(std::string_view body, const Limits &limits) {
    if (body.empty() || body.size() > limits.max_body) return std::nullopt;
    Message m;
    m.kind = body[0];
    size_t at = 1;
    while (at < body.size()) {
        if (body.size() - at < 4 || m.fields.size() == limits.max_fields) return std::nullopt;
        uint32_t len = get_u32(body.data() + at);
        at += 4;
        if (len > limits.max_field || len > body.size() - at) return std::nullopt;
        m.fields.emplace_back(body.substr(at, len));
        at += len;
    }
    return m;
}

bool send_message(int fd, const Message &m) {
    std::string bytes = encode(m);
    return vk::write_all(fd, bytes.data(), bytes.size());
}

Received recv_message(int fd, const Limits &limits, Message &out) {
    char head[4];
    size_t got = 0;
    if (!read_exactly(fd, head, 4, &got)) return got == 0 ? Received::Closed : Received::Refused;
    uint32_t len = get_u32(head);
    if (len == 0 || len > limits.max_body) return Received::Refused;
    std::string body(len, '\0');
    if (!read_exactly(fd, body.data(), len, &got)) return Received::Refused;
    auto m = decode(body, limits);
    if (!m) return Received::Refused;
    out = std::move(*m);
    return Received::Message;
}

}  // namespace vkweb
