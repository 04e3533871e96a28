// What the helper keeps between requests, on a clock of the test's own:
// the back-off schedule of failed logins per source and per account,
// and the ends of login sessions.
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
    EXPECT_EQ(Backoff::wait_after(1000).count(), 60);
    Backoff b;
    const std::string ip = "10.0.0.1";
    Time now = t0;
    for (long expected : {1, 2, 4, 8, 16, 32, 60, 60}) {
        b.failed(ip, "alice", now);
        EXPECT_EQ(b.wait(ip, "alice", now).count(), expected);
        // Refused until the wait has passed, to the second (rounded up).
        EXPECT_EQ(b.wait(ip, "alice", now + Seconds{expected} - 1ms).count(), 1);
        EXPECT_EQ(b.wait(ip, "alice", now + 300ms).count(), expected);
        // The source waits whatever account it tries next.
        EXPECT_EQ(b.wait(ip, "carol", now + 300ms).count(), expected);
        now += Seconds{expected};
        EXPECT_EQ(b.wait(ip, "alice", now).count(), 0);
    }
    // A success starts both schedules over.
    b.succeeded(ip, "alice");
    b.failed(ip, "alice", now);
    EXPECT_EQ(b.wait(ip, "alice", now).count(), 1);
    // Failures long past are forgotten.
    b.failed(ip, "alice", now + 1s);
    EXPECT_EQ(b.wait(ip, "alice", now + 1s).count(), 2);
    b.failed(ip, "alice", now + 1s + Backoff::kForget);
    EXPECT_EQ(b.wait(ip, "alice", now + 1s + Backoff::kForget).count(), 1);
}

// Guesses at one account from many sources add up: once its own short
// wait has passed, each of them waits the account's long one. Another
// account, or a source with no failure of its own, is not held up for
// them: a flood from fresh addresses keeps no one out. A source is a /64,
// not less (the e2e module shows one /64 held as one), and an IPv4 client
// of an IPv6 socket is that IPv4 address.
TEST(WebBackoff, GuessesAtAnAccountAddUpAcrossSources) {
    Backoff b;
    auto ip = [](int i) { return "198.51.100." + std::to_string(i); };
    for (int i = 1; i <= 10; ++i) b.failed(ip(i), "alice", t0);
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(b.wait(ip(i), "alice", t0 + 2s).count(), 58) << i;
    EXPECT_EQ(b.wait(ip(1), "bob", t0 + 2s).count(), 0);
    EXPECT_EQ(b.wait("203.0.113.1", "alice", t0 + 2s).count(), 0);
    EXPECT_EQ(Backoff::source_of("::ffff:198.51.100.1"), "198.51.100.1");
    EXPECT_EQ(Backoff::source_of("2001:db8:1:2:aaaa:bbbb:cccc:dddd"), "2001:db8:1:2::/64");
    EXPECT_EQ(Backoff::source_of("2001:db8:1:3::1"), "2001:db8:1:3::/64");
}

TEST(WebBackoff, TheTablesAreBounded) {
    Backoff b;
    for (size_t i = 0; i < Backoff::kMaxClients + 10; ++i)
        b.failed("ip" + std::to_string(i), "user" + std::to_string(i), t0 + i * 1ms);
    EXPECT_EQ(b.sources(), Backoff::kMaxClients);
    EXPECT_EQ(b.accounts(), Backoff::kMaxClients);
    // The ones that failed longest ago went first.
    EXPECT_EQ(b.wait("ip0", "x", t0 + 1s).count(), 0);
    EXPECT_GT(b.wait("ip" + std::to_string(Backoff::kMaxClients + 9), "x", t0 + 5s).count(), 0);
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

TEST(WebLoginSessions, LookingWithoutUseDoesNotRenewAndUseEndsAtTheLifetime) {
    LoginSessions s(10s, 25s);
    s.open(session(id(1)), t0);
    s.open(session(id(2)), t0);
    // A page that reloads itself finds its login, but does not keep it; one
    // that is used all the time ends at its lifetime all the same.
    for (Time now = t0 + 1s; now < t0 + 10s; now += 1s) {
        ASSERT_NE(s.find(id(1), now, false), nullptr);
        ASSERT_NE(s.find(id(2), now, true), nullptr);
    }
    EXPECT_EQ(s.find(id(1), t0 + 10s, false), nullptr);
    for (Time now = t0 + 10s; now < t0 + 25s; now += 1s)
        ASSERT_NE(s.find(id(2), now, true), nullptr);
    EXPECT_EQ(s.find(id(2), t0 + 25s, true), nullptr);
    EXPECT_EQ(s.size(), 0u);
}

TEST(WebLoginSessions, LogoutAndTheCapEndSessions) {
    LoginSessions s;
    for (size_t i = 0; i < LoginSessions::kMax; ++i) s.open(session(id(i)), t0 + i * 1ms);
    ASSERT_NE(s.find(id(0), t0 + 2s, true), nullptr);  // now the most recently used
    s.open(session(id(5000)), t0 + 3s);
    EXPECT_EQ(s.size(), LoginSessions::kMax);
    EXPECT_EQ(s.find(id(1), t0 + 3s, true), nullptr);  // unused longest: gone
    EXPECT_NE(s.find(id(0), t0 + 3s, true), nullptr);
    EXPECT_NE(s.find(id(5000), t0 + 3s, true), nullptr);
    s.close(id(5000));
    EXPECT_EQ(s.find(id(5000), t0 + 3s, true), nullptr);
    // Only the whole id finds a session.
    EXPECT_EQ(s.find(id(0).substr(0, 63), t0 + 3s, true), nullptr);
    EXPECT_EQ(s.find("", t0 + 3s, true), nullptr);
}

}  // namespace
