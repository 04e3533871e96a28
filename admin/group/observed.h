// How long each of this host's sessions has been disconnected or idle, as
// the limits' runs have seen it: the library reports only the state now,
// so each run notes when it first saw a state, and the next runs measure
// from there. Kept in a file of root's under /var/opt/KELWvk/.
#ifndef VK_GROUP_OBSERVED_H
#define VK_GROUP_OBSERVED_H

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vkgroup {

inline constexpr const char *kObservedFile = "/var/opt/KELWvk/group/observed";

// What a run saw of one session. `key` tells one session from any other
// that has been or will be on the same display (its display, token,
// login and start).
struct Sighting {
    std::string key;
    bool disconnected = false;
    bool idle = false;
};

struct Timing {
    std::optional<int64_t> disconnected_since;
    std::optional<int64_t> idle_since;
    std::optional<int64_t> warned_at;  // when the lifetime notice was shown
};

class Observed {
  public:
    // At most this many sessions are remembered, and a key is at most this
    // long: the file stays small whatever a host holds.
    static constexpr size_t kMaxSessions = 65536;
    static constexpr size_t kMaxKey = 1024;

    // Takes one run's sightings at `now`: a session seen disconnected (or
    // idle) keeps the time it was first seen so, or starts now; one seen
    // otherwise forgets it; sessions not seen are forgotten. A state whose
    // source could not be asked (`disconnected_known`, `idle_known` false)
    // is forgotten for every session, so that its time counts again only
    // from a run that can see it.
    void observe(const std::vector<Sighting> &seen, int64_t now, bool disconnected_known,
                 bool idle_known);

    const Timing *find(const std::string &key) const;
    // Sessions this host has ended, by limit (disconnected, idle,
    // lifetime), since the state began: the metrics' counters.
    void count_ended(size_t limit) {
        if (limit >= 3) return;
        ++ended_[limit];
        changed_ = true;
    }
    const uint64_t (&ended() const)[3] { return ended_; }
    void set_warned(const std::string &key, int64_t when);
    size_t size() const { return sessions_.size(); }

    // The state as its file holds it, and back. parse() answers false for
    // a text that is not a whole state file (a truncated one included),
    // leaving the state empty: lost state makes clocks start again, never
    // run ahead.
    std::string serialize() const;
    bool parse(const std::string &text);

    // Reads `path` (missing: empty state; unreadable, not root's or
    // damaged: empty state and `error` set, the caller says so) and
    // writes it atomically (a new file, synced, renamed over the old,
    // its directory synced).
    bool load(const std::string &path, std::string &error);
    // A state that is what the file holds (read by load() or written by
    // save(), unchanged since) is not written again.
    bool save(const std::string &path, std::string &error);

  private:
    struct Kept {
        Timing timing;
        bool seen = true;  // in the run being observed
    };
    // Looked up once or twice per session and run; written in key order.
    std::unordered_map<std::string, Kept> sessions_;
    uint64_t ended_[3] = {0, 0, 0};
    bool changed_ = true;  // since the file was last read or written
};

}  // namespace vkgroup

#endif
