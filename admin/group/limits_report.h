// The session limits of the whole group: each member's own dry run, asked
// in parallel as the listing asks, and shown to people and scripts.
#ifndef VK_GROUP_LIMITS_REPORT_H
#define VK_GROUP_LIMITS_REPORT_H

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "enforce.h"
#include "group.h"
#include "output.h"

namespace vkgroup {

// A member's dry run as one line per session ("S" and eleven fields), one
// line for why it would not act ("R" and the reason) and one for the
// sessions it has ended by each limit ("C" and three counts), each field
// %-escaped, so that no value can start another line or field.
std::string limit_record(const LimitEntry &e);
std::string refused_record(const std::string &why);
void print_limit_records(std::FILE *out, const LimitsRun &run);

// Reads one such line: a session into `entry`, or a refusal into `why`.
// None when the line is not one (a field missing or malformed).
// A count line sets `counts`.
enum class LimitLine { Session, Refused, Counts };
std::optional<LimitLine> parse_limit_line(std::string_view line, LimitEntry &entry,
                                          std::string &why, uint64_t (&counts)[3]);

struct MemberLimits {
    MemberAnswer answer;
    std::string refused;  // why the member's run would not act
    std::vector<LimitEntry> entries;
    std::optional<std::array<uint64_t, 3>> ended_total;  // when the member said
};

// The times that each answered member of `listing` measured for its
// sessions, from the members' dry runs; a member whose dry run fails
// leaves its sessions unmeasured.
MeasuredTimes measured_times(const Listing &listing, const Options &opt, const Limits &local);

// The metrics of the limits: sessions over each limit now (from each
// member's measured times) and sessions ended by each, per member that
// answered.
std::string limits_metrics_text(const std::vector<MemberLimits> &all, int64_t now);

// Every member's dry run: this host's directly, the others' through the
// remote-command program and their gate ("vkgroup limits -x").
std::vector<MemberLimits> group_limits(const std::vector<Member> &members, const Options &opt,
                                       const Limits &local_limits);

void print_limits_table(std::FILE *out, const std::vector<MemberLimits> &all, int64_t now);
void print_limits_json(std::FILE *out, const std::vector<MemberLimits> &all, int64_t now);

}  // namespace vkgroup

#endif
