#include "deadlines.h"

#include <sys/socket.h>

namespace vkweb {

Deadlines::Deadlines(std::chrono::milliseconds tick) : tick_(tick), watcher_([this] { run(); }) {}

Deadlines::~Deadlines() {
    {
        std::lock_guard<std::mutex> lock(lane_);
        stop_ = true;
    }
    wake_.notify_all();
    watcher_.join();
}

void Deadlines::watch(int fd, Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(lane_);
    entries_[fd] = Entry{deadline, true};
}

void Deadlines::arm(int fd, Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(lane_);
    auto it = entries_.find(fd);
    if (it == entries_.end()) return;
    it->second.deadline = deadline;
    it->second.armed = true;
}

void Deadlines::disarm(int fd) {
    std::lock_guard<std::mutex> lock(lane_);
    auto it = entries_.find(fd);
    if (it != entries_.end()) it->second.armed = false;
}

void Deadlines::forget(int fd) {
    std::lock_guard<std::mutex> lock(lane_);
    entries_.erase(fd);
}

unsigned long Deadlines::cut() const {
    std::lock_guard<std::mutex> lock(lane_);
    return cut_;
}

void Deadlines::run() {
    std::unique_lock<std::mutex> lock(lane_);
    while (!stop_) {
        wake_.wait_for(lock, tick_);
        Clock::time_point now = Clock::now();
        // Under the lock: a socket is forgotten before its descriptor is
        // closed, so the descriptor shut down here is still the one
        // watched, never a new one that reuses its number.
        for (auto &[fd, e] : entries_)
            if (e.armed && e.deadline <= now) {
                ::shutdown(fd, SHUT_RDWR);
                e.armed = false;
                ++cut_;
            }
    }
}

}  // namespace vkweb
