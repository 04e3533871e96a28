// What vkweb-helper keeps between requests: the back-off of failed logins,
// the login sessions, and the last listing. Time is always given by the
// caller, so that the schedules can be checked without waiting.
#ifndef VK_WEB_HELPER_STATE_H
#define VK_WEB_HELPER_STATE_H

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vkweb {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;
using Seconds = std::chrono::seconds;

// Failed logins slow down the next ones. Per client address: after the
// n-th failure in a row, the next attempt from that address is refused
// without asking PAM until 2^(n-1) seconds (at most 60) have passed since
// that failure; a success starts it over. For all addresses together, at
// most kAttemptsPerSecond attempts reach PAM in any second: the web side
// may be taken over and then names whatever address it likes.
class Backoff {
  public:
    static constexpr Seconds kMaxWait{60};
    static constexpr size_t kAttemptsPerSecond = 3;
    // A client's failures are forgotten this long after its last one.
    static constexpr Seconds kForget{15 * 60};
    // Addresses kept at most; beyond, the one that failed longest ago goes.
    static constexpr size_t kMaxClients = 4096;

    // The wait after `failures` failures in a row.
    static Seconds wait_after(unsigned failures);

    // How long `client` must still wait (rounded up to whole seconds);
    // zero when it may try now.
    Seconds wait(const std::string &client, Time now) const;
    // Takes one of the attempts of this second for PAM; false (and a wait
    // in `retry`) when they are all taken.
    bool take_attempt(Time now, Seconds &retry);
    void failed(const std::string &client, Time now);
    void succeeded(const std::string &client);
    size_t clients() const { return clients_.size(); }

  private:
    struct Entry {
        unsigned failures = 0;
        Time last{};
    };
    std::unordered_map<std::string, Entry> clients_;
    std::deque<Time> attempts_;  // of the last second, oldest first
};

struct LoginSession {
    std::string id;    // 64 hex digits, the web side's cookie
    std::string csrf;  // 64 hex digits, sent back with every change
    std::string login;
    std::string client;  // where the login came from
    Time last_use{};
};

// The login sessions: each ends after `idle` without use (kIdle unless the
// configuration says otherwise), at logout, or when more than kMax exist
// (the one unused longest goes).
class LoginSessions {
  public:
    static constexpr Seconds kIdle{15 * 60};
    static constexpr size_t kMax = 1000;

    explicit LoginSessions(Seconds idle = kIdle) : idle_(idle) {}

    const LoginSession &open(LoginSession s, Time now);
    // The live session `id`, its use refreshed; null when there is none.
    // Every session is compared with `id` in full, in time that does not
    // depend on where they differ.
    LoginSession *find(std::string_view id, Time now);
    void close(std::string_view id);
    size_t size() const { return sessions_.size(); }

  private:
    void expire(Time now);
    Seconds idle_;
    std::vector<LoginSession> sessions_;
};

// The last listing's reply, reused for kFresh; while a fresh one is on its
// way, it is answered for a while longer (kKeep unless the caller says).
class ListingCache {
  public:
    static constexpr std::chrono::milliseconds kFresh{2000};
    static constexpr Seconds kKeep{25};
    const std::vector<std::string> *get(Time now) const { return kept(now, kFresh); }
    const std::vector<std::string> *kept(Time now, std::chrono::milliseconds keep) const;
    void put(std::vector<std::string> fields, Time now);
    void clear() { fields_.reset(); }

  private:
    std::optional<std::vector<std::string>> fields_;
    Time at_{};
};

}  // namespace vkweb

#endif
