// Durations as configuration files write them and as people read them.
#ifndef VK_BASE_DURATION_H
#define VK_BASE_DURATION_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vk {

// A duration as a file writes it: digits and one unit, "s", "m", "h" or
// "d" ("90s", "45m", "8h", "7d"), at most 10 years; none otherwise.
std::optional<int64_t> parse_duration(std::string_view text);

// A duration for people: "45s", "12m", "3h 05m", "2d 04h" (a negative one
// as "0s").
std::string human_duration(int64_t seconds);

}  // namespace vk

#endif
