// Starting a program that outlives its starter: the X server, the session's
// client and the message window are all started this way.
#ifndef VK_SERVER_SPAWN_H
#define VK_SERVER_SPAWN_H

#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/wait.h>
#include <linux/close_range.h>

#include "child_signals.h"
#include "common.h"

namespace vksrv {

struct Credentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

struct SpawnRequest {
    std::string path;                  // absolute path of the program; no PATH search
    std::vector<std::string> argv;     // argv[0] included
    std::vector<std::string> env;      // the whole environment; nothing is inherited
    std::string cwd = "/";             // falls back to "/" if it cannot be entered
    int stdin_fd = -1;                 // becomes standard input; -1 for /dev/null
    std::optional<Credentials> creds;  // drop to this user before exec
};

namespace detail {

// Reports errno to the starter over the close-on-exec pipe and gives up.
[[noreturn]] inline void exec_failed(int err_w) {
    int e = errno;
    (void)!::write(err_w, &e, sizeof e);
    ::_exit(127);
}

[[noreturn]] inline void exec_detached(const SpawnRequest &req, char *const *argv,
                                       char *const *envp, int devnull, int err_w) {
    auto fail = [err_w]() { exec_failed(err_w); };
    // A session of its own: no controlling terminal, and no signal sent to
    // the starter's process group reaches it.
    if (::setsid() < 0) fail();
    int in = req.stdin_fd >= 0 ? req.stdin_fd : devnull;
    if (::dup2(in, 0) < 0 || ::dup2(devnull, 1) < 0 || ::dup2(devnull, 2) < 0) fail();
    // Nothing else we hold (the caller's pipes included) may leak into it.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) fail();
    vk::default_signal_state();
    if (req.creds) {
        const Credentials &c = *req.creds;
        if (::setgroups(c.groups.size(), c.groups.data()) != 0 || ::setgid(c.gid) != 0 ||
            ::setuid(c.uid) != 0)
            fail();
        // Paranoia: the drop must be irreversible.
        if (c.uid != 0 && ::setuid(0) == 0) {
            errno = EPERM;
            fail();
        }
    }
    if (::chdir(req.cwd.c_str()) != 0 && ::chdir("/") != 0) fail();
    ::umask(022);
    ::execve(req.path.c_str(), argv, envp);
    exec_failed(err_w);
}

inline bool read_exact(int fd, void *buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::read(fd, static_cast<char *>(buf) + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace detail

// Starts `req` fully detached from us: we fork a helper that forks the
// program and exits at once, so the program is adopted by init (nobody
// waits on us for it and we leave no zombie), and it runs in a session of
// its own with /dev/null for output.
//
// Returns only after the program's execve() succeeded, with its pid;
// otherwise -1 with errno telling why it could not start (fork, credential
// change or exec failure, e.g. ENOENT for a missing program). The exec
// result travels back over a close-on-exec pipe: end of file means the exec
// happened, an errno value means it did not.
inline pid_t spawn_detached(const SpawnRequest &req) {
    std::vector<char *> argv, envp;
    for (const auto &a : req.argv) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto &e : req.env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    Fd devnull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!devnull) return -1;
    int p[2], q[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return -1;
    Fd pid_r(p[0]), pid_w(p[1]);
    if (::pipe2(q, O_CLOEXEC) != 0) return -1;
    Fd err_r(q[0]), err_w(q[1]);

    pid_t helper = ::fork();
    if (helper < 0) return -1;
    if (helper == 0) {
        pid_t child = ::fork();
        if (child == 0)
            detail::exec_detached(req, argv.data(), envp.data(), devnull.get(), err_w.get());
        int msg[2] = {static_cast<int>(child), errno};
        (void)!::write(pid_w.get(), msg, sizeof msg);
        ::_exit(0);
    }
    pid_w.reset();
    err_w.reset();
    int st;
    while (::waitpid(helper, &st, 0) < 0 && errno == EINTR) {
    }
    int msg[2];
    if (!detail::read_exact(pid_r.get(), msg, sizeof msg)) {
        errno = ECHILD;
        return -1;
    }
    if (msg[0] < 0) {
        errno = msg[1];
        return -1;
    }
    int child_errno = 0;
    ssize_t n;
    while ((n = ::read(err_r.get(), &child_errno, sizeof child_errno)) < 0 && errno == EINTR) {
    }
    if (n == 0) return static_cast<pid_t>(msg[0]);
    errno = n == static_cast<ssize_t>(sizeof child_errno) ? child_errno : EIO;
    return -1;
}

}  // namespace vksrv

#endif
