#include "text.h"

namespace vk {

size_t utf8_at(std::string_view text, size_t i, unsigned &cp) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80                 ? 1
                 : c >= 0xc2 && c <= 0xdf ? 2
                 : c >= 0xe0 && c <= 0xef ? 3
                 : c >= 0xf0 && c <= 0xf4 ? 4
                                          : 0;
    if (len == 0 || i + len > text.size()) return 0;
    unsigned v = len == 1 ? c : c & (0x7f >> len);
    for (size_t k = 1; k < len; ++k) {
        auto d = static_cast<unsigned char>(text[i + k]);
        if ((d & 0xc0) != 0x80) return 0;
        v = (v << 6) | (d & 0x3f);
    }
    // Longer forms than needed, surrogates and what lies beyond Unicode
    // are how a decoder is tricked into seeing a character that a check
    // before it did not.
    const unsigned lowest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < lowest[len] || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff)) return 0;
    cp = v;
    return len;
}

bool control_character(unsigned cp) {
    // The bidirectional controls (marks, embeddings, overrides, isolates)
    // are harmless to a terminal's state, but they reorder what follows
    // them, so that a token or name can be made to look like another one.
    return cp < 0x20 || cp == 0x7f || (cp >= 0x80 && cp <= 0x9f) || cp == 0x061c || cp == 0x200e ||
           cp == 0x200f || (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
}

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
        unsigned cp = 0;
        size_t len = utf8_at(text, i, cp);
        if (len == 0) {
            shown(out, text.substr(i, 1));  // one byte of a broken piece at a time
            ++i;
        } else {
            if (control_character(cp) || (also != '\0' && len == 1 && text[i] == also))
                shown(out, text.substr(i, len));
            else
                out.append(text.substr(i, len));
            i += len;
        }
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

}  // namespace vk
