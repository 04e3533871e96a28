#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "child_signals.h"
#include "vkcxx.h"

extern char **environ;

namespace vk {

namespace {

// Owners of posix_spawn's attribute objects, destroyed on every path.
struct SpawnActions {
    posix_spawn_file_actions_t fa;
    SpawnActions() { posix_spawn_file_actions_init(&fa); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&fa); }
    SpawnActions(const SpawnActions &) = delete;
    SpawnActions &operator=(const SpawnActions &) = delete;
};

struct SpawnAttr {
    posix_spawnattr_t attr;
    SpawnAttr() { posix_spawnattr_init(&attr); }
    ~SpawnAttr() { posix_spawnattr_destroy(&attr); }
    SpawnAttr(const SpawnAttr &) = delete;
    SpawnAttr &operator=(const SpawnAttr &) = delete;
};

}  // namespace

Pipe::Pipe(const char *command, const char *mode, int err) {
    if (!command || !mode || (mode[0] != 'r' && mode[0] != 'w') || mode[1] != '\0') {
        errno = EINVAL;
        return;
    }
    const bool reading = mode[0] == 'r';
    int fds[2];
    // Close-on-exec: no other command started meanwhile holds either end.
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    Fd rd(fds[0]), wr(fds[1]);
    Fd &theirs = reading ? wr : rd;
    Fd &ours = reading ? rd : wr;

    SpawnActions actions;
    SpawnAttr attr;
    // dup2 onto the standard descriptor clears its close-on-exec flag, even
    // where the pipe's end already is that descriptor.
    if (posix_spawn_file_actions_adddup2(&actions.fa, theirs.get(), reading ? 1 : 0) != 0 ||
        (err >= 0 && posix_spawn_file_actions_adddup2(&actions.fa, err, 2) != 0) ||
        default_signal_attr(attr.attr) != 0)
        return;
    const char *argv[] = {"sh", "-c", command, nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &actions.fa, &attr.attr, const_cast<char *const *>(argv),
                         environ);
    if (rc != 0) {
        errno = rc;
        return;
    }
    pid_ = pid;
    theirs.reset();
    f_ = ::fdopen(ours.get(), reading ? "r" : "w");
    if (f_) {
        (void)ours.release();
        return;
    }
    // The command sees end of file or a broken pipe, and is waited for.
    ours.reset();
    close();
}

int Pipe::close() {
    if (f_) {
        std::fclose(f_);
        f_ = nullptr;
    }
    if (pid_ < 0) return -1;
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return r < 0 ? -1 : status;
}

int failed_exit_code(int wait_status) {
    if (wait_status != -1 && WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    return 0;
}

std::optional<std::string> read_all(int fd, size_t max) {
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) return out;
        if (out.size() + static_cast<size_t>(n) > max) {
            errno = EFBIG;
            return std::nullopt;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}

}  // namespace vk
