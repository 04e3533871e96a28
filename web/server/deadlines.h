// A bound on the time a connection may take to bring in a request. The
// HTTP server library's own time-out is one of idleness: it starts over
// with every byte, so a client that sends a request a byte at a time keeps
// its connection, and what the server holds for it, as long as it likes.
// Here each watched socket has a deadline instead; once it has passed, the
// socket is shut down (not closed: the descriptor stays the server
// library's), and the library sees the connection end.
#ifndef VK_WEB_DEADLINES_H
#define VK_WEB_DEADLINES_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace vkweb {

class Deadlines {
  public:
    using Clock = std::chrono::steady_clock;

    // Looks at the deadlines every `tick`.
    explicit Deadlines(std::chrono::milliseconds tick = std::chrono::milliseconds(250));
    ~Deadlines();
    Deadlines(const Deadlines &) = delete;
    Deadlines &operator=(const Deadlines &) = delete;

    // Sockets are named by their descriptor, from watch() until forget(),
    // which must come before the descriptor is closed.
    void watch(int fd, Clock::time_point deadline);
    // A new deadline for a watched socket (its next request).
    void arm(int fd, Clock::time_point deadline);
    // No deadline until the next arm() (a request is in, and its answer is
    // being made or sent).
    void disarm(int fd);
    void forget(int fd);
    // How many sockets were shut down for their deadline.
    unsigned long cut() const;

  private:
    struct Entry {
        Clock::time_point deadline;
        bool armed = true;
    };
    void run();

    mutable std::mutex lane_;
    std::condition_variable wake_;
    bool stop_ = false;
    unsigned long cut_ = 0;
    std::chrono::milliseconds tick_;
    std::unordered_map<int, Entry> entries_;
    std::thread watcher_;
};

}  // namespace vkweb

#endif
