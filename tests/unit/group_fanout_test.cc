// Calls side by side in processes of their own: what crosses from a query
// process to vkgroup (frames, bounded) and on to a scraper (metric labels,
// escaped), results in order, at most so many at once, and nothing of a call
// left running once it has ended or run into its deadline.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "fanout.h"
#include "output.h"

namespace {

using namespace std::chrono_literals;
using vkgroup::Call;
using vkgroup::CallResult;
using vkgroup::Frame;
using vkgroup::FrameReader;
using vkgroup::FrameType;

TEST(GroupFrames, AStreamCutAnywhereGivesTheSameFrames) {
    const std::string big(vkgroup::kMaxFrame - vkgroup::kFrameHeader, 'x');
    std::string stream = vkgroup::encode_frame(FrameType::Line, std::string("line\0name", 9)) +
                         vkgroup::encode_frame(FrameType::Warning, "") +
                         vkgroup::encode_frame(FrameType::Line, big) +
                         vkgroup::encode_frame(FrameType::Done, "2");
    for (size_t step : {size_t{1}, size_t{7}, size_t{4096}, stream.size()}) {
        FrameReader r(stream.size());
        std::vector<Frame> got;
        for (size_t at = 0; at < stream.size(); at += step)
            ASSERT_TRUE(r.feed(stream.data() + at, std::min(step, stream.size() - at), got))
                << step;
        ASSERT_EQ(got.size(), 4u) << step;
        EXPECT_EQ(got[0].payload, std::string("line\0name", 9));
        EXPECT_EQ(got[1].type, FrameType::Warning);
        EXPECT_EQ(got[2].payload.size(), big.size());
        EXPECT_EQ(got[3].payload, "2");
        EXPECT_TRUE(r.complete());
    }
}

TEST(GroupFrames, BrokenStreamsStayBroken) {
    struct Case {
        std::string bytes;
        size_t max_stream;
        std::string why;  // empty: not broken, but incomplete
    };
    const std::string done = vkgroup::encode_frame(FrameType::Done, "12345");
    const std::vector<Case> cases = {
        {vkgroup::encode_frame(FrameType::Line,
                               std::string(vkgroup::kMaxFrame - vkgroup::kFrameHeader + 1, 'x')),
         1 << 20, "frame longer than 81920 bytes"},
        {std::string("Z\0\0\0\0", 5), 100, "unknown frame"},
        {done, 9, "answer too large"},
        {done.substr(0, 7), 100, ""},
    };
    for (const Case &c : cases) {
        FrameReader r(c.max_stream);
        std::vector<Frame> got;
        bool fed = r.feed(c.bytes.data(), c.bytes.size(), got);
        EXPECT_EQ(fed, c.why.empty()) << c.why;
        EXPECT_EQ(r.why(), c.why);
        EXPECT_FALSE(r.complete());
        EXPECT_TRUE(got.empty());
        if (!c.why.empty()) {
            std::string good = vkgroup::encode_frame(FrameType::Done, "1");
            EXPECT_FALSE(r.feed(good.data(), good.size(), got));
        }
    }
}

TEST(GroupText, MetricLabelsEscapeWhatEndsThem) {
    EXPECT_EQ(vkgroup::label_value("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
}

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

// Waits up to a second for `p` to end. A process that ended and was not
// reaped by us is reaped by init or the subreaper; a zombie still answers
// kill(), so its state is looked at.
bool gone(pid_t p) {
    for (int tries = 0; tries < 100; ++tries, ::usleep(10000)) {
        std::ifstream in("/proc/" + std::to_string(p) + "/stat");
        const std::string stat((std::istreambuf_iterator<char>(in)), {});
        const size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z')
            return true;
    }
    return false;
}

long long now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
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
    std::vector<Call> calls;
    for (int i = 0; i < 16; ++i)
        calls.push_back({i < 12 ? "busy" : "other", [i](int fd) {
                             long long start = now_us();
                             ::usleep(150000);
                             vkgroup::write_frame(fd, FrameType::Done,
                                                  std::to_string(i) + " " + std::to_string(start) +
                                                      " " + std::to_string(now_us()));
                             return 0;
                         }});
    auto results = vkgroup::run_calls(calls, {.parallel = 5, .per_member = 3});
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
    auto results = vkgroup::run_calls(calls, {.deadline = 1000ms, .max_answer = 1 << 20},
                                      [&late](const Call &c) { late.push_back(c.label); });
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
        EXPECT_TRUE(gone(p)) << calls[i].label;
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
    EXPECT_TRUE(gone(sleeper));
}

}  // namespace
