// A run of the session limits on this host: which sessions are over a
// limit, and, when enforcing, ending them. Each member runs its own (from
// a timer), so that a member that is down stops no other and no session
// is ended by two hosts.
#ifndef VK_GROUP_ENFORCE_H
#define VK_GROUP_ENFORCE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "observed.h"
#include "session_limits.h"

namespace vkgroup {

inline constexpr const char *kLimitsLock = "/var/opt/KELWvk/group/limits.lock";

// One session as a run of the limits sees it.
struct LimitEntry {
    std::string display, token, raw_token, login;
    int state = 0;                          // VK_SESSION_* bits
    std::optional<int64_t> started;         // from its session files
    std::optional<int64_t> disconnected_s;  // measured; none when not
    std::optional<int64_t> idle_s;
    std::string limit;               // "disconnected", "idle", "lifetime", or none
    std::optional<int64_t> limit_s;  // that limit's length
    std::optional<int64_t> ends_at;  // when the limit ends it (seconds since the epoch)
    bool due = false;                // over its limit now
    bool warn_now = false;           // a lifetime notice is due now
    std::string note;                // "exempt-user", "ended", why not ...
};

struct LimitsRun {
    std::vector<LimitEntry> entries;
    // Why this run neither measured nor acted (a source it depends on
    // could not be asked), or why it acted on nothing (over max-per-run).
    std::string refused;
    unsigned ended[3] = {0, 0, 0};  // by limit: disconnected, idle, lifetime
    unsigned failed = 0;
    uint64_t ended_total[3] = {0, 0, 0};  // since the state began, this run's included
};

// Decides for one entry, whose times are set, at `now`: the limit that
// ends it first and when, whether that is now, and whether a lifetime
// notice is due. A connected session is ended by its lifetime only `warn`
// after its notice, however late the notice came.
void decide(const Limits &limits, LimitEntry &e, const Timing *timing, int64_t now);

// Runs the limits on this host: reads the sessions, measures against the
// observed state and, when `enforce`, saves the state and ends what is
// due (at most limits.max_per_run; a run with more ends none). Without
// `enforce` nothing is changed. `observed_path` and `lock_path` are the
// state's files.
LimitsRun run_limits(const Limits &limits, bool enforce, int64_t now,
                     const std::string &observed_path = kObservedFile,
                     const std::string &lock_path = kLimitsLock);

}  // namespace vkgroup

#endif
