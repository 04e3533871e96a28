// The bounds on reading the authentication manager's reply: whoever listens
// on the manager's port decides when the reply ends, so a silence, a reply
// that never ends and a reply of unbounded size must all end the query.
// Driven over a socket pair with short limits.
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "auth_reply.h"
#include "log_capture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char *kKeys = "~terminalCID~terminalId~tokenName~firmware~";
const std::string kRecord = "begin\nterminalCID=t1\ntokenName=a\nend\n";

// What the far end does with its side of the connection; `done` turns true
// once the reader has returned (a far end that keeps the connection open
// waits for it).
using FarEnd = std::function<void(int fd, const std::atomic<bool> &done)>;

struct Outcome {
    int rc;
    bool list_kept;  // the list head still holds the record placed in it before
    int records;     // records in the list (when kept)
    std::chrono::milliseconds took;
};

Outcome read_reply(const FarEnd &far, const vk::ReplyLimits &limits) {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ::fcntl(sv[0], F_SETFL, O_NONBLOCK);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        far(sv[1], done);
        ::close(sv[1]);
    });
    // A record from before the query: a reply that is given up is not
    // trusted in part, so the whole list goes.
    vk_KeyValuesNode_t *list = nullptr;
    parse_record(&list, "terminalCID=t0\ntokenName=0", VK_SORT_BY_TOKEN, kKeys, nullptr);
    const vk_KeyValuesNode_t *before = list;
    vk::StatusReply reply(&list, VK_SORT_BY_TOKEN, kKeys, nullptr);
    auto t0 = Clock::now();
    int rc = vk::read_status_reply(sv[0], reply, &list, limits);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    done = true;
    writer.join();
    ::close(sv[0]);
    int n = 0;
    for (auto *l = list; l; l = l->next) ++n;
    bool kept = list == before;
    vk_free_KeyValuesNode_list(list);
    return {rc, kept, n, took};
}

void send_all(int fd, const std::string &s) {
    for (size_t at = 0; at < s.size();) {
        // No SIGPIPE when the reader has given up and closed its side.
        ssize_t n = ::send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return;
        at += static_cast<size_t>(n);
    }
}

void hold_open(const std::atomic<bool> &done) {
    while (!done) std::this_thread::sleep_for(5ms);
}

vk::ReplyLimits shortLimits() {
    vk::ReplyLimits l;
    l.first_ms = 300;
    l.silence_ms = 300;
    l.total_ms = 1200;
    l.max_bytes = 4096;
    return l;
}

TEST(StatusReplyLimits, AReplyThatEndsIsReadWhole) {
    // Slow pieces, each within the silence limit: a manager under load.
    Outcome o = read_reply(
        [](int fd, const std::atomic<bool> &) {
            for (char c : kRecord + kRecord) {
                send_all(fd, std::string(1, c));
                if (c == '\n') std::this_thread::sleep_for(20ms);
            }
        },
        shortLimits());
    EXPECT_EQ(o.rc, VK_OK);
    EXPECT_TRUE(o.list_kept);
    EXPECT_EQ(o.records, 3);
}

TEST(StatusReplyLimits, NoFirstDataLeavesTheListAlone) {
    vktest::clear_log();
    Outcome o =
        read_reply([](int, const std::atomic<bool> &done) { hold_open(done); }, shortLimits());
    EXPECT_EQ(o.rc, VK_ERR_AUTHMGR_TIMEOUT);
    EXPECT_TRUE(o.list_kept);
    EXPECT_GE(o.took, 300ms);
    EXPECT_EQ(vktest::logged(), std::vector<std::string>{"getAuthMgrRecords(): poll timed out\n"});
}

struct Stall {
    const char *what;
    FarEnd far;
    int rc;
    std::chrono::milliseconds at_least, below;
    const char *log;
};

void PrintTo(const Stall &s, std::ostream *os) {
    *os << s.what;
}

class StatusReplyStalls : public testing::TestWithParam<Stall> {};

TEST_P(StatusReplyStalls, EndTheQueryAndDropTheRecords) {
    const Stall &s = GetParam();
    vktest::clear_log();
    Outcome o = read_reply(s.far, shortLimits());
    EXPECT_EQ(o.rc, s.rc);
    EXPECT_FALSE(o.list_kept);
    EXPECT_EQ(o.records, 0);
    EXPECT_GE(o.took, s.at_least);
    EXPECT_LT(o.took, s.below);
    EXPECT_EQ(vktest::logged(), std::vector<std::string>{s.log});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StatusReplyStalls,
    testing::Values(Stall{"records, then the connection stays open",
                          [](int fd, const std::atomic<bool> &done) {
                              send_all(fd, kRecord);
                              hold_open(done);
                          },
                          VK_ERR_AUTHMGR_TIMEOUT, 300ms, 1000ms,
                          "getAuthMgrRecords(): no reply data for 300 ms, abandoned\n"},
                    Stall{"a byte now and then, never silent for long",
                          [](int fd, const std::atomic<bool> &done) {
                              while (!done) {
                                  send_all(fd, "x");
                                  std::this_thread::sleep_for(50ms);
                              }
                          },
                          VK_ERR_AUTHMGR_TIMEOUT, 1200ms, 2500ms,
                          "getAuthMgrRecords(): reply not complete within 1200 ms, abandoned\n"},
                    Stall{"more than the largest reply",
                          [](int fd, const std::atomic<bool> &done) {
                              for (int i = 0; i < 200 && !done; ++i) send_all(fd, kRecord);
                          },
                          VK_ERR_INTERNAL, 0ms, 1000ms,
                          "getAuthMgrRecords(): reply longer than 4096 bytes, abandoned\n"}));

TEST(StatusReplyLimits, ExactlyTheLargestReplyIsRead) {
    std::string reply = kRecord;
    reply += std::string(4096 - reply.size(), '\n');
    Outcome o =
        read_reply([&](int fd, const std::atomic<bool> &) { send_all(fd, reply); }, shortLimits());
    EXPECT_EQ(o.rc, VK_OK);
    EXPECT_EQ(o.records, 2);
}

}  // namespace
