// What the helper keeps between requests, on a clock of the test's own:
// the back-off schedule of failed logins, the cap on PAM attempts, the
// ends of login sessions, and the listing's reuse.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "state.h"

namespace {

using namespace std::chrono_literals;
using vkweb::Backoff;
using vkweb::LoginSession;
using vkweb::LoginSessions;
using vkweb::Seconds;
using vkweb::Time;

const Time t0 = Time{} + 1000h;

TEST(WebBackoff, WaitsDoubleAfterEachFailureUpToAMinute) {
    std::vector<long> waits;
    for (unsigned n = 0; n <= 9; ++n) waits.push_back(Backoff::wait_after(n).count());
    EXPECT_EQ(waits, (std::vector<long>{0, 1, 2, 4, 8, 16, 32, 60, 60, 60}));
    EXPECT_EQ(Backoff::wait_after(1000).count(), 60);

    Backoff b;
    const std::string ip = "10.0.0.1";
    Time now = t0;
    for (long expected : {1, 2, 4, 8, 16, 32, 60, 60}) {
        b.failed(ip, now);
        EXPECT_EQ(b.wait(ip, now).count(), expected);
        // Refused until the wait has passed, to the second (rounded up).
        EXPECT_EQ(b.wait(ip, now + Seconds{expected} - 1ms).count(), 1);
        EXPECT_EQ(b.wait(ip, now + 300ms).count(), expected);
        now += Seconds{expected};
        EXPECT_EQ(b.wait(ip, now).count(), 0);
    }
    // Other addresses are not held up; a success starts the schedule over.
    EXPECT_EQ(b.wait("10.0.0.2", now).count(), 0);
    b.succeeded(ip);
    b.failed(ip, now);
    EXPECT_EQ(b.wait(ip, now).count(), 1);
    // Failures long past are forgotten.
    b.failed(ip, now + 1s);
    EXPECT_EQ(b.wait(ip, now + 1s).count(), 2);
    b.failed(ip, now + 1s + Backoff::kForget);
    EXPECT_EQ(b.wait(ip, now + 1s + Backoff::kForget).count(), 1);
}

TEST(WebBackoff, AttemptsOfAllAddressesAreCappedPerSecond) {
    Backoff b;
    Seconds retry{};
    for (size_t i = 0; i < Backoff::kAttemptsPerSecond; ++i)
        EXPECT_TRUE(b.take_attempt(t0 + i * 10ms, retry));
    EXPECT_FALSE(b.take_attempt(t0 + 500ms, retry));
    EXPECT_EQ(retry.count(), 1);
    EXPECT_FALSE(b.take_attempt(t0 + 999ms, retry));
    EXPECT_TRUE(b.take_attempt(t0 + 1s, retry));  // the first one's second has passed
    EXPECT_FALSE(b.take_attempt(t0 + 1s, retry));
}

TEST(WebBackoff, TheTableOfAddressesIsBounded) {
    Backoff b;
    for (size_t i = 0; i < Backoff::kMaxClients + 10; ++i)
        b.failed("ip" + std::to_string(i), t0 + i * 1ms);
    EXPECT_EQ(b.clients(), Backoff::kMaxClients);
    // The addresses that failed longest ago went first.
    EXPECT_EQ(b.wait("ip0", t0 + 1s).count(), 0);
    EXPECT_GT(b.wait("ip" + std::to_string(Backoff::kMaxClients + 9), t0 + 5s).count(), 0);
}

LoginSession session(const std::string &id, const std::string &login = "alice") {
    LoginSession s;
    s.id = id;
    s.csrf = std::string(64, 'c');
    s.login = login;
    s.client = "10.0.0.1";
    return s;
}

std::string id(size_t n) {
    std::string hex = std::to_string(n);
    return std::string(64 - hex.size(), '0') + hex;
}

TEST(WebLoginSessions, EndAfterFifteenIdleMinutesEachUseRefreshes) {
    LoginSessions s;
    s.open(session(id(1)), t0);
    s.open(session(id(2), "carol"), t0);
    Time now = t0 + LoginSessions::kIdle - 1s;
    ASSERT_NE(s.find(id(1), now), nullptr);  // used: another 15 minutes from now
    EXPECT_EQ(s.find(id(1), now)->login, "alice");
    now += 2s;
    EXPECT_EQ(s.find(id(2), now), nullptr);  // unused for 15 minutes and a second
    EXPECT_NE(s.find(id(1), now), nullptr);
    EXPECT_EQ(s.size(), 1u);
    EXPECT_EQ(s.find(id(1), now + LoginSessions::kIdle), nullptr);
    EXPECT_EQ(s.size(), 0u);
    // A configured idle time instead of the 15 minutes.
    LoginSessions brief(3s);
    brief.open(session(id(3)), t0);
    EXPECT_NE(brief.find(id(3), t0 + 2s), nullptr);
    EXPECT_EQ(brief.find(id(3), t0 + 5s), nullptr);
}

TEST(WebLoginSessions, LogoutAndTheCapEndSessions) {
    LoginSessions s;
    for (size_t i = 0; i < LoginSessions::kMax; ++i) s.open(session(id(i)), t0 + i * 1ms);
    ASSERT_NE(s.find(id(0), t0 + 2s), nullptr);  // now the most recently used
    s.open(session(id(5000)), t0 + 3s);
    EXPECT_EQ(s.size(), LoginSessions::kMax);
    EXPECT_EQ(s.find(id(1), t0 + 3s), nullptr);  // unused longest: gone
    EXPECT_NE(s.find(id(0), t0 + 3s), nullptr);
    EXPECT_NE(s.find(id(5000), t0 + 3s), nullptr);
    s.close(id(5000));
    EXPECT_EQ(s.find(id(5000), t0 + 3s), nullptr);
    // Only the whole id finds a session.
    EXPECT_EQ(s.find(id(0).substr(0, 63), t0 + 3s), nullptr);
    EXPECT_EQ(s.find("", t0 + 3s), nullptr);
}

TEST(WebListingCache, ReusedForTwoSecondsAndDroppedOnDemand) {
    vkweb::ListingCache c;
    EXPECT_EQ(c.get(t0), nullptr);
    c.put({"1", "x"}, t0);
    ASSERT_NE(c.get(t0 + 1999ms), nullptr);
    EXPECT_EQ(*c.get(t0 + 1999ms), (std::vector<std::string>{"1", "x"}));
    EXPECT_EQ(c.get(t0 + 2s), nullptr);
    EXPECT_EQ(c.get(t0 - 1ms), nullptr);  // a clock that went back
    c.put({"2"}, t0);
    c.clear();
    EXPECT_EQ(c.get(t0), nullptr);
}

}  // namespace
