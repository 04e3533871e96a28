// Allocation that cannot fail and the small text helpers of the parsers.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "utils.h"

void *safe_malloc(size_t size) {
    // A zero-byte request still yields a unique, freeable block.
    void *p = std::calloc(1, size ? size : 1);
    if (!p) {
        std::fprintf(stderr, "Could not malloc %d bytes\n", static_cast<int>(size));
        std::exit(1);
    }
    return p;
}

char *safe_strdup(const char *text) {
    return text ? ::strdup(text) : nullptr;
}

namespace {

bool is_trim_char(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// Trims `v`; null when nothing but blanks, tabs and newlines is left.
char *trimmed_copy(std::string_view v) {
    size_t b = 0;
    while (b < v.size() && is_trim_char(v[b])) ++b;
    if (b == v.size()) return nullptr;
    size_t e = v.size();
    while (e > b + 1 && is_trim_char(v[e - 1])) --e;
    char *out = static_cast<char *>(safe_malloc(e - b + 1));
    std::memcpy(out, v.data() + b, e - b);
    return out;
}

// Each side of a key=value line passes through a working buffer of 512
// bytes; a longer side is cut to its first 511 characters.
constexpr size_t kSideMax = 511;

}  // namespace

char *strip_leading_and_trailing_whitespace(const char *text) {
    return text ? trimmed_copy(text) : nullptr;
}

int is_numeric(const char *text) {
    if (!text) return 0;
    for (const char *p = text; *p; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
    return 1;
}

int is_substring(const char *haystack, const char *needle) {
    if (!haystack || !needle) return 0;
    std::string_view h(haystack), n(needle);
    if (n.size() > h.size()) return 0;
    for (size_t i = 0; i + n.size() <= h.size(); ++i) {
        size_t j = 0;
        while (j < n.size() && std::tolower(static_cast<unsigned char>(h[i + j])) ==
                                   std::tolower(static_cast<unsigned char>(n[j])))
            ++j;
        if (j == n.size()) return 1;
    }
    return 0;
}

int parse_key_and_value(const char *line, char **key, char **value) {
    if (key) *key = nullptr;
    if (value) *value = nullptr;
    if (!line || !key || !value) return 0;
    std::string_view l(line);
    if (l.size() <= 1 || l[0] == '#') return 0;
    size_t eq = l.find('=');
    if (eq == std::string_view::npos) return 0;
    *key = trimmed_copy(l.substr(0, eq).substr(0, kSideMax));
    *value = trimmed_copy(l.substr(eq + 1).substr(0, kSideMax));
    return 1;
}

int is_shell_safe(const char *text) {
    if (!text || !*text) return 0;
    for (const char *p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (!std::isalnum(c) && c != '.' && c != '_' && c != '-') return 0;
    }
    return 1;
}
