// The time a connection has for a request: the watcher shuts down a socket
// whose deadline has passed, and leaves alone one whose request is in.
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "deadlines.h"
#include "vkcxx.h"

namespace {

using namespace std::chrono_literals;
using vkweb::Deadlines;

struct Pair {
    vk::Fd server, client;
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        server.reset(fds[0]);
        client.reset(fds[1]);
    }
    // Whether the server's end reads end of file within `wait`: the
    // watcher has shut it down.
    bool cut_within(std::chrono::milliseconds wait) const {
        pollfd p{server.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) return false;
        char c;
        return ::recv(server.get(), &c, 1, MSG_DONTWAIT) == 0;
    }
};

TEST(WebDeadlines, ASocketIsShutDownOnlyWhileItsDeadlinePasses) {
    Deadlines d(10ms);
    Pair slow, answered, later, gone;
    auto now = Deadlines::Clock::now();
    d.watch(slow.server.get(), now + 100ms);
    d.watch(answered.server.get(), now + 100ms);
    d.watch(later.server.get(), now + 100ms);
    d.watch(gone.server.get(), now + 100ms);
    d.disarm(answered.server.get());       // its request is in
    d.arm(later.server.get(), now + 60s);  // its next request has a new time
    d.forget(gone.server.get());           // closed by its owner
    // Bytes that keep arriving do not put the deadline off.
    char c;
    ASSERT_EQ(::write(slow.client.get(), "G", 1), 1);
    ASSERT_EQ(::read(slow.server.get(), &c, 1), 1);
    EXPECT_TRUE(slow.cut_within(5000ms));
    EXPECT_FALSE(answered.cut_within(300ms));
    EXPECT_FALSE(later.cut_within(0ms));
    EXPECT_FALSE(gone.cut_within(0ms));
    EXPECT_EQ(d.cut(), 1u);
    // Armed again, the answered one is cut in its turn.
    d.arm(answered.server.get(), Deadlines::Clock::now());
    EXPECT_TRUE(answered.cut_within(5000ms));
    EXPECT_EQ(d.cut(), 2u);
}

}  // namespace
