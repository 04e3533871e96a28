#include "session_limits.h"

#include <ctime>

#include "duration.h"
#include "root_file.h"

namespace vkgroup {

namespace {

// A limits file is a few dozen lines; exemption lists of a large site a
// few thousand.
constexpr size_t kMaxFileSize = size_t{256} << 10;
constexpr size_t kMaxPatterns = 4096;
constexpr size_t kMaxPattern = 255;
constexpr size_t kMaxWarnText = 1024;
constexpr unsigned kMaxPerRunBound = 100000;

std::optional<unsigned> parse_count(std::string_view text) {
    if (text.empty() || text.size() > 6) return std::nullopt;
    unsigned n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n == 0 || n > kMaxPerRunBound) return std::nullopt;
    return n;
}

bool printable(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

}  // namespace

bool wildcard_match(std::string_view pattern, std::string_view text) {
    // Greedy with one point of return: the last "*" seen takes one more
    // character each time the rest fails, so the match is linear in
    // practice and never exponential.
    size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool read_limits(const std::string &path, Limits &out, std::string &error) {
    out = Limits{};
    std::optional<std::string> text;
    if (!vk::read_root_file(path, kMaxFileSize, text, error)) return false;
    size_t patterns = 0;
    return vk::for_each_setting_line(text.value_or(""), [&](size_t number, std::string_view line) {
        auto fail = [&](const std::string &why) {
            error = path + ":" + std::to_string(number) + ": " + why;
            return false;
        };
        size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            return fail("not \"key = value\": " + vk::shown_line(line));
        std::string_view key = vk::trim_blanks(line.substr(0, eq));
        std::string_view value = vk::trim_blanks(line.substr(eq + 1));
        if (value.empty()) return fail("no value for " + vk::shown_line(key));

        std::optional<int64_t> *limit = key == "disconnected" ? &out.disconnected
                                        : key == "idle"       ? &out.idle
                                        : key == "lifetime"   ? &out.lifetime
                                                              : nullptr;
        if (limit != nullptr || key == "warn") {
            auto d = vk::parse_duration(value);
            if (!d || (*d == 0 && limit != nullptr))
                return fail("not a duration (like 90s, 45m, 8h, 7d): " + vk::shown_line(value));
            if (limit != nullptr)
                *limit = *d;
            else
                out.warn = *d;
            return true;
        }
        if (key == "action") {
            if (value == "terminate")
                out.action = LimitAction::Terminate;
            else if (value == "suspend")
                out.action = LimitAction::Suspend;
            else
                return fail("action is terminate or suspend, not " + vk::shown_line(value));
            return true;
        }
        if (key == "max-per-run") {
            auto n = parse_count(value);
            if (!n)
                return fail("max-per-run is a number from 1 to " + std::to_string(kMaxPerRunBound) +
                            ", not " + vk::shown_line(value));
            out.max_per_run = *n;
            return true;
        }
        if (key == "warn-text") {
            if (value.size() > kMaxWarnText || !printable(value))
                return fail("warn-text is one line of at most " + std::to_string(kMaxWarnText) +
                            " printable characters");
            out.warn_text = value;
            return true;
        }
        std::vector<std::string> *list = key == "exempt-user"      ? &out.exempt_user
                                         : key == "exempt-token"   ? &out.exempt_token
                                         : key == "exempt-display" ? &out.exempt_display
                                                                   : nullptr;
        if (list == nullptr) return fail("unknown key: " + vk::shown_line(key));
        if (value.size() > kMaxPattern || !printable(value))
            return fail("a pattern is at most " + std::to_string(kMaxPattern) +
                        " printable characters");
        if (++patterns > kMaxPatterns)
            return fail("more than " + std::to_string(kMaxPatterns) + " exemptions");
        list->emplace_back(value);
        return true;
    });
}

std::optional<std::string> exemption(const Limits &limits, std::string_view login,
                                     std::string_view token, std::string_view raw_token,
                                     std::string_view display) {
    auto any = [](const std::vector<std::string> &patterns, auto &&matches) {
        for (const std::string &p : patterns)
            if (matches(p)) return true;
        return false;
    };
    if (any(limits.exempt_user, [&](const std::string &p) { return wildcard_match(p, login); }))
        return std::string("exempt-user");
    if (any(limits.exempt_token, [&](const std::string &p) {
            return wildcard_match(p, token) || wildcard_match(p, raw_token);
        }))
        return std::string("exempt-token");
    if (any(limits.exempt_display,
            [&](const std::string &p) { return wildcard_match(p, display); }))
        return std::string("exempt-display");
    return std::nullopt;
}

std::string warn_notice(const Limits &limits, int64_t end, int64_t remaining) {
    char clock[16] = "?";
    auto t = static_cast<time_t>(end);
    struct tm local;
    if (localtime_r(&t, &local) != nullptr) std::strftime(clock, sizeof clock, "%H:%M", &local);
    const std::string left = vk::human_duration(remaining);
    if (limits.warn_text.empty())
        return "This session will be ended at " + std::string(clock) + " (in " + left +
               "). Please save your work.";
    std::string out;
    const std::string &text = limits.warn_text;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size()) {
            char c = text[i + 1];
            if (c == 'T' || c == 'R' || c == '%') {
                out += c == 'T' ? std::string(clock) : c == 'R' ? left : std::string("%");
                ++i;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

}  // namespace vkgroup
