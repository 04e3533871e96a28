#include "fanout.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_signals.h"
#include "vkcxx.h"

namespace vkgroup {

namespace {

using Clock = std::chrono::steady_clock;

int pidfd_open(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// The signals that end a command and must not leave its calls running.
sigset_t ending_signals() {
    sigset_t s;
    sigemptyset(&s);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&s, sig);
    return s;
}

struct Running {
    size_t index;
    pid_t pid;
    vk::Fd out;    // the child's frames
    vk::Fd exits;  // readable once the child has ended
    Clock::time_point started;
    FrameReader reader;
    bool eof = false;
};

// In the child: a process group of its own, ended with its parent, the
// default signal state (not the caller's: a program that blocks SIGTERM
// must not pass that on to the calls and what they start, or a stop of the
// service would leave them running), no standard input or output (the
// library never prints; a shell it starts must not write into ours).
// Standard error stays, for what a crash has to say.
[[noreturn]] void child(const Call &call, int fd, pid_t parent) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    vk::default_signal_state();
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        if (null > 1) ::close(null);
    }
    int status = 0;
    try {
        status = call.run(fd);
    } catch (...) {
        status = 125;
    }
    ::_exit(status);
}

// Ends a child and everything in its process group, and reaps it. The
// child is not reaped before the group is killed, so that its pid (the
// group's id) cannot have been given to another process meanwhile.
int end_child(pid_t pid) {
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Whether the child has ended, without reaping it (its pid stays its
// group's until end_child): for kernels, and tools such as valgrind, that
// have no pidfd to wait on.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

std::string describe(int status) {
    if (WIFSIGNALED(status))
        return std::string("ended by signal ") + std::to_string(WTERMSIG(status));
    return "ended with status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

std::vector<CallResult> run_calls(const std::vector<Call> &calls, const FanoutLimits &limits,
                                  const std::function<void(const Call &)> &on_deadline) {
    std::vector<CallResult> results(calls.size());
    if (calls.empty()) return results;

    sigset_t ending = ending_signals(), old_mask;
    ::sigprocmask(SIG_BLOCK, &ending, &old_mask);
    vk::Fd sigfd(::signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK));
    std::fflush(nullptr);  // nothing buffered may be written twice
    const pid_t self = ::getpid();
    const size_t parallel = static_cast<size_t>(std::max(1, limits.parallel));
    const size_t per_member = static_cast<size_t>(std::max(1, limits.per_member));

    // The calls not started yet, by member, each member's in their order.
    struct Queue {
        std::deque<size_t> waiting;
        size_t running = 0;
    };
    std::map<std::string, Queue> members;
    for (size_t i = 0; i < calls.size(); ++i) members[calls[i].label].waiting.push_back(i);
    size_t waiting = calls.size();
    // The member whose first waiting call comes first, among those that may
    // start one more.
    auto next_member = [&]() -> Queue * {
        Queue *best = nullptr;
        for (auto &[label, m] : members)
            if (!m.waiting.empty() && m.running < per_member &&
                (!best || m.waiting.front() < best->waiting.front()))
                best = &m;
        return best;
    };

    std::vector<Running> running;
    int caught = 0;

    auto finish = [&](Running &r, bool timed_out) {
        CallResult &res = results[r.index];
        int status = end_child(r.pid);
        res.seconds = std::chrono::duration<double>(Clock::now() - r.started).count();
        res.timed_out = timed_out;
        if (timed_out) {
            res.trouble =
                "no answer within " + std::to_string(limits.deadline.count() / 1000) + " s";
        } else if (r.reader.broken()) {
            res.trouble = r.reader.why();
        } else if (!r.reader.complete()) {
            res.trouble = "answer cut short (" + describe(status) + ")";
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            res.trouble = "query " + describe(status);
        }
    };

    while ((waiting || !running.empty()) && !caught) {
        while (running.size() < parallel) {
            Queue *m = next_member();
            if (!m) break;
            const size_t next = m->waiting.front();
            m->waiting.pop_front();
            --waiting;
            int fds[2];
            CallResult &res = results[next];
            if (::pipe2(fds, O_CLOEXEC) != 0) {
                res.trouble = std::string("cannot start: ") + std::strerror(errno);
                continue;
            }
            vk::Fd rd(fds[0]), wr(fds[1]);
            auto started = Clock::now();
            pid_t pid = ::fork();
            if (pid < 0) {
                res.trouble = std::string("cannot start: ") + std::strerror(errno);
                continue;
            }
            if (pid == 0) {
                rd.reset();
                sigfd.reset();
                child(calls[next], wr.get(), self);
            }
            ::setpgid(pid, pid);  // also in the child: whichever runs first
            wr.reset();
            vk::Fd exits(pidfd_open(pid));
            ::fcntl(rd.get(), F_SETFL, O_NONBLOCK);
            running.push_back(Running{next, pid, std::move(rd), std::move(exits), started,
                                      FrameReader(limits.max_answer)});
            ++m->running;
        }
        if (running.empty()) break;

        // Wait for data, an end, a deadline or a signal.
        auto now = Clock::now();
        auto soonest = Clock::time_point::max();
        for (const Running &r : running) soonest = std::min(soonest, r.started + limits.deadline);
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(soonest - now).count();
        // Without a pidfd, an end is noticed by looking every few milliseconds.
        bool looking =
            std::any_of(running.begin(), running.end(), [](const Running &r) { return !r.exits; });
        if (looking) wait = std::min<long long>(wait, 5);
        std::vector<pollfd> pfds;
        pfds.push_back({sigfd.get(), POLLIN, 0});
        for (const Running &r : running) {
            pfds.push_back({r.eof ? -1 : r.out.get(), POLLIN, 0});
            pfds.push_back({r.exits.get(), POLLIN, 0});
        }
        int n = ::poll(pfds.data(), pfds.size(), static_cast<int>(std::max<long long>(wait, 0)));
        if (n < 0 && errno != EINTR) break;
        if (pfds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(sigfd.get(), &info, sizeof info) == sizeof info)
                caught = static_cast<int>(info.ssi_signo);
        }

        std::vector<size_t> done;
        for (size_t i = 0; i < running.size(); ++i) {
            Running &r = running[i];
            CallResult &res = results[r.index];
            // Drain what is there; after the child has ended, the rest.
            bool ended = r.exits ? pfds[2 + 2 * i].revents != 0 : has_ended(r.pid);
            if (!r.eof && (pfds[1 + 2 * i].revents || ended)) {
                char buf[65536];
                for (;;) {
                    ssize_t got = ::read(r.out.get(), buf, sizeof buf);
                    if (got < 0 && errno == EINTR) continue;
                    if (got <= 0) {
                        r.eof = got == 0;
                        break;
                    }
                    if (!r.reader.feed(buf, static_cast<size_t>(got), res.frames)) {
                        r.eof = true;  // a broken answer is read no further
                        break;
                    }
                }
            }
            // Once the child has ended, everything it wrote has been read:
            // nothing else holds the pipe (it is closed on exec).
            if (ended || r.reader.broken()) {
                finish(r, false);
                done.push_back(i);
            } else if (Clock::now() >= r.started + limits.deadline) {
                finish(r, true);
                if (on_deadline) on_deadline(calls[r.index]);
                done.push_back(i);
            }
        }
        for (auto it = done.rbegin(); it != done.rend(); ++it) {
            --members[calls[running[*it].index].label].running;
            running.erase(running.begin() + static_cast<long>(*it));
        }
    }

    for (Running &r : running) {
        finish(r, false);
        results[r.index].trouble = "interrupted";
    }
    for (const auto &[label, m] : members)
        for (size_t i : m.waiting) results[i].trouble = "interrupted";
    ::sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    if (caught) {
        // Held until now: delivered with the disposition the program has.
        ::raise(caught);
    }
    return results;
}

}  // namespace vkgroup
