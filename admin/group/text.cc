#include "text.h"

namespace vkgroup {

namespace {

// The controls of bidirectional text: marks, embeddings, overrides and
// isolates. Harmless to a terminal's state, but they reorder what follows
// them, so that a token or name can be made to look like another one.
bool bidi_control(unsigned cp) {
    return cp == 0x061c || cp == 0x200e || cp == 0x200f || (cp >= 0x202a && cp <= 0x202e) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string one_line(std::string_view text, size_t max) {
    std::string out;
    for (char c : text.substr(0, max)) out += c >= 0x20 && c < 0x7f ? c : '?';
    if (text.size() > max) out += "...";
    return out;
}

namespace {

// Walks `text` as UTF-8: printable characters are copied, and `shown`
// writes what stands for each control or broken piece (its bytes), and
// for the character `also` when one is given.
template <typename Shown>
std::string sanitized(std::string_view text, Shown shown, char also = '\0') {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c >= 0x20 && c != 0x7f && (also == '\0' || text[i] != also))
                out += static_cast<char>(c);
            else
                shown(out, text.substr(i, 1));
            ++i;
            continue;
        }
        // The length of a UTF-8 sequence and the lowest code point it may
        // stand for (shorter forms are invalid).
        size_t len = 0;
        if (c >= 0xc2 && c <= 0xdf)
            len = 2;
        else if (c >= 0xe0 && c <= 0xef)
            len = 3;
        else if (c >= 0xf0 && c <= 0xf4)
            len = 4;
        if (len == 0 || i + len > text.size()) {
            shown(out, text.substr(i, 1));
            ++i;
            continue;
        }
        unsigned cp = c & (0x7f >> len);
        bool ok = true;
        for (size_t k = 1; k < len; ++k) {
            auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xc0) != 0x80) ok = false;
            cp = (cp << 6) | (d & 0x3f);
        }
        const unsigned lowest[] = {0, 0, 0x80, 0x800, 0x10000};
        ok = ok && cp >= lowest[len] && cp <= 0x10ffff && !(cp >= 0xd800 && cp <= 0xdfff);
        if (!ok) {
            shown(out, text.substr(i, 1));
            ++i;
            continue;
        }
        if ((cp >= 0x80 && cp <= 0x9f) || bidi_control(cp))
            shown(out, text.substr(i, len));  // a C1 or bidirectional control, well formed
        else
            out.append(text.substr(i, len));
        i += len;
    }
    return out;
}

}  // namespace

std::string terminal_text(std::string_view text) {
    // One "?" for a well-formed control, one for each byte of a broken piece.
    return sanitized(text, [](std::string &out, std::string_view) { out += '?'; });
}

std::string escaped_text(std::string_view text) {
    // The backslash too, so that "\\x" in the output always stands for a
    // byte, never for itself.
    return sanitized(
        text,
        [](std::string &out, std::string_view bytes) {
            static constexpr char kHex[] = "0123456789abcdef";
            for (char b : bytes) {
                auto u = static_cast<unsigned char>(b);
                out += "\\x";
                out += kHex[u >> 4];
                out += kHex[u & 15];
            }
        },
        '\\');
}

std::string percent_escape(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c > 0x20 && c < 0x7f && c != '%') {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::optional<std::string> percent_unescape(std::string_view text) {
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            int hi = i + 2 < text.size() ? digit(text[i + 1]) : -1;
            int lo = i + 2 < text.size() ? digit(text[i + 2]) : -1;
            if (hi < 0 || lo < 0) return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (c > 0x20 && c < 0x7f) {
            out += text[i];
        } else {
            return std::nullopt;
        }
    }
    return out;
}

}  // namespace vkgroup
