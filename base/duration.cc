#include "duration.h"

namespace vk {

namespace {

// Longer than any limit makes sense for, and far from overflowing.
constexpr int64_t kMaxDuration = int64_t{10} * 366 * 24 * 3600;

std::string two_digits(int64_t n) {
    return (n < 10 ? "0" : "") + std::to_string(n);
}

}  // namespace

std::optional<int64_t> parse_duration(std::string_view text) {
    if (text.size() < 2 || text.size() > 12) return std::nullopt;
    int64_t unit = 0;
    switch (text.back()) {
        case 's':
            unit = 1;
            break;
        case 'm':
            unit = 60;
            break;
        case 'h':
            unit = 3600;
            break;
        case 'd':
            unit = 86400;
            break;
        default:
            return std::nullopt;
    }
    int64_t n = 0;
    for (char c : text.substr(0, text.size() - 1)) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
        if (n * unit > kMaxDuration) return std::nullopt;
    }
    return n * unit;
}

std::string human_duration(int64_t seconds) {
    if (seconds < 0) seconds = 0;
    if (seconds < 60) return std::to_string(seconds) + "s";
    if (seconds < 3600) return std::to_string(seconds / 60) + "m";
    if (seconds < 86400)
        return std::to_string(seconds / 3600) + "h " + two_digits(seconds % 3600 / 60) + "m";
    return std::to_string(seconds / 86400) + "d " + two_digits(seconds % 86400 / 3600) + "h";
}

}  // namespace vk
