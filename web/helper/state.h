// What vkweb-helper keeps between requests: the back-off of failed logins,
// the login sessions, and the last listing. Time is always given by the
// caller, so that the schedules can be checked without waiting.
#ifndef VK_WEB_HELPER_STATE_H
#define VK_WEB_HELPER_STATE_H

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vkweb {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;
using Seconds = std::chrono::seconds;

// Failed logins slow down the next ones, counted both per source and per
// account. A source is an IPv4 address, or the /64 of an IPv6 address (one
// host is usually given a whole /64, so single IPv6 addresses cost an
// attacker nothing). After the n-th failure in a row, the next attempt is
// refused without asking PAM until 2^(n-1) seconds (at most 60) have passed
// since that failure:
//  - from the same source, whatever the account;
//  - against the same account, from any source that itself failed within
//    kForget. A source with no recent failure always gets its attempt, so
//    that a flood of guesses against an account, from however many other
//    addresses, cannot keep its owner out; each source it comes from gets
//    one free guess and then the account's wait.
// A success starts the source's and the account's schedules over.
class Backoff {
  public:
    static constexpr Seconds kMaxWait{60};
    // Failures are forgotten this long after the last one.
    static constexpr Seconds kForget{15 * 60};
    // Sources and accounts kept at most, each; beyond, the one that failed
    // longest ago goes.
    static constexpr size_t kMaxClients = 4096;

    // The wait after `failures` failures in a row.
    static Seconds wait_after(unsigned failures);
    // The source that an address (as text) counts against; the text itself
    // when it is no address.
    static std::string source_of(const std::string &address);

    // How long an attempt from `source` against `user` must still wait
    // (rounded up to whole seconds); zero when it may try now.
    Seconds wait(const std::string &source, const std::string &user, Time now) const;
    void failed(const std::string &source, const std::string &user, Time now);
    void succeeded(const std::string &source, const std::string &user);
    size_t sources() const { return sources_.size(); }
    size_t accounts() const { return accounts_.size(); }

  private:
    struct Entry {
        unsigned failures = 0;
        Time last{};
    };
    using Table = std::unordered_map<std::string, Entry>;
    static Seconds wait_of(const Table &t, const std::string &key, Time now);
    static void note_failure(Table &t, const std::string &key, Time now);
    Table sources_, accounts_;
};

struct LoginSession {
    std::string id;    // 64 hex digits, the web side's cookie
    std::string csrf;  // 64 hex digits, sent back with every change
    std::string login;
    std::string client;  // where the login came from
    Time opened{};
    Time last_use{};
};

// The login sessions: each ends after `idle` without use, `lifetime` after
// it was opened however much it is used, at logout, or when more than kMax
// exist (the one unused longest goes).
class LoginSessions {
  public:
    static constexpr Seconds kIdle{15 * 60};
    static constexpr Seconds kLifetime{12 * 3600};
    static constexpr size_t kMax = 1000;

    explicit LoginSessions(Seconds idle = kIdle, Seconds lifetime = kLifetime)
        : idle_(idle), lifetime_(lifetime) {}

    const LoginSession &open(LoginSession s, Time now);
    // The live session `id`, or null when there is none; its use refreshed
    // when `renew` (a request that a person made, not one that a page made
    // by itself). Every session is compared with `id` in full, in time that
    // does not depend on where they differ.
    LoginSession *find(std::string_view id, Time now, bool renew);
    void close(std::string_view id);
    size_t size() const { return sessions_.size(); }

  private:
    void expire(Time now);
    Seconds idle_, lifetime_;
    std::vector<LoginSession> sessions_;
};

// The last listing's reply, reused for kFresh; a fresh one is fetched from
// kAhead on; while a fresh one is on its way, it is answered for a while
// longer (kKeep unless the caller says).
class ListingCache {
  public:
    static constexpr std::chrono::milliseconds kFresh{2000};
    static constexpr std::chrono::milliseconds kAhead{1000};
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
