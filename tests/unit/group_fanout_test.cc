// Calls side by side in processes of their own: results in order, at most
// so many at once, and nothing of a call left running once it has ended or
// run into its deadline.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "fanout.h"

namespace {

using namespace std::chrono_literals;
using vkgroup::Call;
using vkgroup::CallResult;
using vkgroup::FrameType;

// Starts `sleep 100` in the call's process group and reports its pid.
pid_t start_sleeper(int fd) {
    pid_t p = ::fork();
    if (p == 0) {
        ::execl("/bin/sleep", "sleep", "100", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    vkgroup::write_frame(fd, FrameType::Warning, std::to_string(p));
    return p;
}

bool alive(pid_t p) {
    // A process that ended and was not reaped by us is reaped by init or
    // the subreaper; a zombie still answers kill(), so look at its state.
    std::string stat = "/proc/" + std::to_string(p) + "/stat";
    FILE *f = std::fopen(stat.c_str(), "r");
    if (!f) return false;
    char buf[512] = {0};
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    std::string s(buf, n);
    auto close = s.rfind(')');
    return close != std::string::npos && close + 2 < s.size() && s[close + 2] != 'Z';
}

pid_t reported_pid(const CallResult &r) {
    for (const auto &f : r.frames)
        if (f.type == FrameType::Warning) return static_cast<pid_t>(std::stol(f.payload));
    return -1;
}

// Each call reports when it ran: results come in the order of the calls, at
// no moment do more than `parallel` calls run, nor more than `per_member` of
// one member, and a member's queue does not hold back another member's calls.
TEST(GroupFanout, ResultsInOrderAtMostSoManyAtOnceAndPerMember) {
    auto now_us = [] {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    std::vector<Call> calls;
    for (int i = 0; i < 16; ++i)
        calls.push_back({i < 12 ? "busy" : "other", [&now_us, i](int fd) {
                             long long start = now_us();
                             ::usleep(150000);
                             vkgroup::write_frame(fd, FrameType::Done,
                                                  std::to_string(i) + " " + std::to_string(start) +
                                                      " " + std::to_string(now_us()));
                             return 0;
                         }});
    vkgroup::FanoutLimits lim;
    lim.parallel = 5;
    lim.per_member = 3;
    auto results = vkgroup::run_calls(calls, lim);
    ASSERT_EQ(results.size(), calls.size());
    std::vector<std::pair<long long, long long>> spans;
    for (size_t i = 0; i < results.size(); ++i) {
        ASSERT_EQ(results[i].trouble, "");
        ASSERT_EQ(results[i].frames.size(), 1u);
        EXPECT_GE(results[i].seconds, 0.14);
        long long n = -1, a = 0, b = 0;
        ASSERT_EQ(std::sscanf(results[i].frames[0].payload.c_str(), "%lld %lld %lld", &n, &a, &b),
                  3);
        EXPECT_EQ(n, static_cast<long long>(i));
        spans.emplace_back(a, b);
    }
    for (size_t i = 0; i < spans.size(); ++i) {
        size_t overlapping = 0, of_member = 0;
        for (size_t j = 0; j < spans.size(); ++j)
            if (spans[j].first <= spans[i].first && spans[i].first < spans[j].second) {
                ++overlapping;
                if (calls[j].label == calls[i].label) ++of_member;
            }
        EXPECT_LE(overlapping, 5u) << "call " << i;
        EXPECT_LE(of_member, 3u) << calls[i].label << " call " << i;
    }
    // The other member's calls all start before the busy one's last.
    long long busy_last = 0;
    for (size_t i = 0; i < 12; ++i) busy_last = std::max(busy_last, spans[i].first);
    for (size_t i = 12; i < 16; ++i) EXPECT_LT(spans[i].first, busy_last) << i;
}

TEST(GroupFanout, NothingOfACallOutlivesItsEndOrItsDeadline) {
    std::vector<std::string> late;
    std::vector<Call> calls = {
        // Ends, leaving a process behind in its group.
        {"leaves",
         [](int fd) {
             start_sleeper(fd);
             return 0;
         }},
        // Never ends, and neither does what it started.
        {"hangs",
         [](int fd) {
             start_sleeper(fd);
             ::pause();
             return 0;
         }},
        // Dies half-way through a frame.
        {"crashes",
         [](int fd) {
             std::string f = vkgroup::encode_frame(FrameType::Done, "1");
             ::write(fd, f.data(), 3);
             std::abort();
             return 0;
         }},
        // Sends more than it may.
        {"floods",
         [](int fd) {
             std::string chunk(60000, 'x');
             while (vkgroup::write_frame(fd, FrameType::Line, chunk)) {
             }
             return 0;
         }},
        {"fails", [](int) { return 3; }},
    };
    vkgroup::FanoutLimits lim;
    lim.deadline = 1000ms;
    lim.max_answer = 1 << 20;
    auto results =
        vkgroup::run_calls(calls, lim, [&late](const Call &c) { late.push_back(c.label); });
    EXPECT_EQ(late, std::vector<std::string>{"hangs"});
    EXPECT_EQ(results[0].trouble, "");
    EXPECT_EQ(results[1].trouble, "no answer within 1 s");
    EXPECT_TRUE(results[1].timed_out);
    EXPECT_EQ(results[2].trouble, "answer cut short (ended by signal 6)");
    EXPECT_EQ(results[3].trouble, "answer too large");
    EXPECT_EQ(results[4].trouble, "query ended with status 3");
    for (int i : {0, 1}) {
        pid_t p = reported_pid(results[i]);
        ASSERT_GT(p, 0) << i;
        for (int tries = 0; alive(p) && tries < 100; ++tries) ::usleep(10000);
        EXPECT_FALSE(alive(p)) << calls[i].label;
    }
}

TEST(GroupFanout, AnEndingSignalEndsEveryCallFirst) {
    // In a child of the test, so that the signal ends only that child.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t runner = ::fork();
    if (runner == 0) {
        ::close(fds[0]);
        std::vector<Call> calls = {{"a", [&](int fd) {
                                        pid_t p = start_sleeper(fd);
                                        ::write(fds[1], &p, sizeof p);
                                        ::pause();
                                        return 0;
                                    }}};
        vkgroup::run_calls(calls, {});
        ::_exit(0);  // not reached: SIGTERM ends the runner
    }
    ::close(fds[1]);
    pid_t sleeper = -1;
    ASSERT_EQ(::read(fds[0], &sleeper, sizeof sleeper), static_cast<ssize_t>(sizeof sleeper));
    ::close(fds[0]);
    ::kill(runner, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(runner, &status, 0), runner);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    for (int tries = 0; alive(sleeper) && tries < 100; ++tries) ::usleep(10000);
    EXPECT_FALSE(alive(sleeper));
}

}  // namespace
