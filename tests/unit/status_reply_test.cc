// The bounds on reading the authentication manager's reply: whoever listens
// on the manager's port decides when the reply ends, so a reply that never
// ends and a reply of unbounded size must end the query. Driven over a
// socket pair with short limits; the real limits are tested end to end.
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

// Reads with limits of 300 ms for the first data, 1200 ms for the whole
// reply and 4096 bytes.
Outcome read_reply(const FarEnd &far) {
    vk::ReplyLimits limits;
    limits.first_ms = 300;
    limits.total_ms = 1200;
    limits.max_bytes = 4096;
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

// A manager that pauses between records, longer than the wait for the
// first data, is slow, not dead: every record counts.
TEST(StatusReplyLimits, APauseAfterTheFirstDataIsWaitedOut) {
    Outcome o = read_reply([](int fd, const std::atomic<bool> &) {
        send_all(fd, kRecord);
        std::this_thread::sleep_for(600ms);
        send_all(fd, "begin\nterminalCID=t2\ntokenName=b\nend\n");
    });
    EXPECT_EQ(o.rc, VK_OK);
    EXPECT_EQ(o.records, 3);
}

// A far end that never ends, silent after a record or trickling just fast
// enough never to fall silent, is cut off by the limit on the whole reply.
TEST(StatusReplyLimits, AReplyThatNeverEndsEndsAtTheWholeReplyLimit) {
    const FarEnd far_ends[] = {
        [](int fd, const std::atomic<bool> &done) {
            send_all(fd, kRecord);
            while (!done) std::this_thread::sleep_for(10ms);
        },
        [](int fd, const std::atomic<bool> &done) {
            while (!done) {
                send_all(fd, "x");
                std::this_thread::sleep_for(50ms);
            }
        },
    };
    for (const FarEnd &far : far_ends) {
        vktest::clear_log();
        Outcome o = read_reply(far);
        EXPECT_EQ(o.rc, VK_ERR_AUTHMGR_TIMEOUT);
        EXPECT_FALSE(o.list_kept);
        EXPECT_GE(o.took, 1200ms);
        EXPECT_LT(o.took, 2500ms);
        EXPECT_EQ(vktest::logged(), std::vector<std::string>{
                                        "getAuthMgrRecords(): reply not complete within 1200 ms, "
                                        "abandoned\n"});
    }
}

TEST(StatusReplyLimits, TheLargestReplyIsReadAndOneByteMoreIsNot) {
    for (size_t size : {4096u, 4097u}) {
        std::string reply = kRecord;
        reply += std::string(size - reply.size(), '\n');
        Outcome o = read_reply([&](int fd, const std::atomic<bool> &) { send_all(fd, reply); });
        EXPECT_EQ(o.rc, size == 4096 ? VK_OK : VK_ERR_INTERNAL) << size;
        EXPECT_EQ(o.list_kept, size == 4096) << size;
        EXPECT_EQ(o.records, size == 4096 ? 2 : 0) << size;
    }
}

}  // namespace
