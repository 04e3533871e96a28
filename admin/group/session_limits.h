// The session limits of the group: how long a session may stay
// disconnected, idle or alive before this host ends it, from
// /etc/opt/KELWvk/group/limits.conf (the same file on every member).
#ifndef VK_GROUP_SESSION_LIMITS_H
#define VK_GROUP_SESSION_LIMITS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vkgroup {

inline constexpr const char *kLimitsFile = "/etc/opt/KELWvk/group/limits.conf";

enum class LimitAction { Terminate, Suspend };

struct Limits {
    // Seconds; none when the limit is not set, and then nothing is ended
    // for it.
    std::optional<int64_t> disconnected;
    std::optional<int64_t> idle;
    std::optional<int64_t> lifetime;
    int64_t warn = int64_t{10} * 60;  // notice ahead of a lifetime end
    std::string warn_text;            // empty: the default notice
    LimitAction action = LimitAction::Terminate;
    std::vector<std::string> exempt_user;
    std::vector<std::string> exempt_token;
    std::vector<std::string> exempt_display;
    unsigned max_per_run = 20;

    bool any() const { return disconnected || idle || lifetime; }
};

// Whether `text` matches `pattern`, where "*" stands for any run of
// characters (none included) and every other character for itself.
bool wildcard_match(std::string_view pattern, std::string_view text);

// Reads the limits file at `path`: "key = value" lines; blank lines and
// lines whose first non-blank character is "#" are ignored. Answers false
// with `error` ("PATH:LINE: why", or "PATH: why") for an unknown key, a
// bad value, or a file that only root must be able to change and is not;
// a missing file sets no limit.
bool read_limits(const std::string &path, Limits &out, std::string &error);

// Which exemption keeps a session from being ended ("exempt-user" and so
// on), or none. The token matches by its logical or its raw name.
std::optional<std::string> exemption(const Limits &limits, std::string_view login,
                                     std::string_view token, std::string_view raw_token,
                                     std::string_view display);

// The notice a connected user gets before a lifetime end at `end`
// (seconds since the epoch), in `remaining` seconds: the file's text with
// "%T" as the time of day and "%R" as the time left, or a default.
std::string warn_notice(const Limits &limits, int64_t end, int64_t remaining);

}  // namespace vkgroup

#endif
