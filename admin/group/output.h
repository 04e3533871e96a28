// A group-wide listing as people, scripts and monitoring read it.
#ifndef VK_GROUP_OUTPUT_H
#define VK_GROUP_OUTPUT_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "group.h"

namespace vkgroup {

// How long a session of a listing has been disconnected and idle, as its
// member's limits measured them; none when not measured.
struct Measured {
    std::optional<int64_t> disconnected_s, idle_s;
};
// By index in the listing's sessions; shorter (or empty) when unknown.
using MeasuredTimes = std::vector<Measured>;

// The table of vksession -p with a Disconnected column (the measured
// time) and a Server column; the header even when no session is listed.
// Every value is made safe for a terminal.
void print_table(std::FILE *out, const Listing &l, const MeasuredTimes &times);

// The record lines of vksession -p -x, SERVER= naming the member: exactly
// as the members wrote them, or with `escape` (for a terminal) their
// control characters, broken UTF-8 and backslashes as \xHH (escaped_text).
void print_records(std::FILE *out, const Listing &l, bool escape = false);

// JSON Lines: one object per session, keyed by the record line's keys, in
// their order; text values, null for an absent one; then
// disconnected_seconds and idle_seconds (null when not measured).
void print_json(std::FILE *out, const Listing &l, const MeasuredTimes &times);

// The group's state in the Prometheus text exposition format.
std::string metrics_text(const Listing &l);

// A label value in the exposition format: backslash, double quote and line
// feed escaped.
std::string label_value(const std::string &v);

}  // namespace vkgroup

#endif
