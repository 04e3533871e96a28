// What the server programs learn about processes, read from /proc only,
// and a handle that keeps naming one process even if its number is reused.
#ifndef VK_SERVER_PROCFS_H
#define VK_SERVER_PROCFS_H

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/syscall.h>

#include "common.h"

namespace vksrv {

// The few fields of /proc/PID/stat we use.
struct ProcStat {
    pid_t pid = 0;
    pid_t ppid = 0;
    pid_t sid = 0;  // session id: the pid of the session leader
    char state = '?';
};

// Reads /proc/PID/<what>, keeping at most `max` bytes (the rest is
// dropped, not an error: command lines and environments can be long and we
// only need their start or a bounded search).
inline std::optional<std::string> read_proc(pid_t pid, const char *what, size_t max) {
    std::string path = "/proc/" + std::to_string(pid) + "/" + what;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string out;
    char buf[4096];
    while (out.size() < max) {
        ssize_t n = ::read(fd.get(), buf, std::min(sizeof buf, max - out.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// Reads the decimal number that follows blanks or tabs at `*at` in `text`,
// and moves `*at` past it; false when there is none or it does not fit.
template <typename T>
inline bool next_number(const std::string &text, size_t *at, T *out) {
    size_t p = text.find_first_not_of(" \t", *at);
    if (p == std::string::npos) return false;
    auto [end, ec] = std::from_chars(text.data() + p, text.data() + text.size(), *out);
    if (ec != std::errc()) return false;
    *at = static_cast<size_t>(end - text.data());
    return true;
}

// Parses /proc/PID/stat. The command name sits in parentheses and may hold
// blanks and parentheses itself, so the fields are counted from the last ')'.
inline std::optional<ProcStat> read_stat(pid_t pid) {
    auto text = read_proc(pid, "stat", 4096);
    if (!text) return std::nullopt;
    size_t close = text->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    ProcStat st;
    st.pid = pid;
    // " S ppid pgrp sid ...": the state letter, then numbers.
    size_t at = text->find_first_not_of(' ', close + 1);
    if (at == std::string::npos) return std::nullopt;
    char state = (*text)[at++];
    int ppid = 0, pgrp = 0, sid = 0;
    if (!next_number(*text, &at, &ppid) || !next_number(*text, &at, &pgrp) ||
        !next_number(*text, &at, &sid))
        return std::nullopt;
    st.state = state;
    st.ppid = ppid;
    st.sid = sid;
    return st;
}

// Every process visible in /proc, by pid (ascending). Processes that end
// while we scan are simply missing.
inline std::map<pid_t, ProcStat> proc_snapshot() {
    std::map<pid_t, ProcStat> table;
    Dir dir(::opendir("/proc"));
    if (!dir) return table;
    while (struct dirent *e = ::readdir(dir.get())) {
        auto pid = parse_pid(e->d_name);
        if (!pid) continue;
        if (auto st = read_stat(*pid)) table[*pid] = *st;
    }
    return table;
}

// Splits NUL-separated /proc data (command line, environment) into words;
// the terminating NUL does not make an empty last word.
inline std::vector<std::string> split_nul(const std::string &data) {
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < data.size()) {
        size_t end = data.find('\0', pos);
        if (end == std::string::npos) end = data.size();
        words.emplace_back(data, pos, end - pos);
        pos = end + 1;
    }
    return words;
}

// The short command name (at most 15 bytes), as ps shows it in "comm".
inline std::optional<std::string> proc_comm(pid_t pid) {
    auto c = read_proc(pid, "comm", 64);
    if (!c) return std::nullopt;
    if (!c->empty() && c->back() == '\n') c->pop_back();
    return c;
}

// The real user id, from the "Uid:" line of /proc/PID/status.
inline std::optional<uid_t> proc_real_uid(pid_t pid) {
    auto status = read_proc(pid, "status", 16384);
    if (!status) return std::nullopt;
    size_t pos = status->find("\nUid:");
    if (pos == std::string::npos) return std::nullopt;
    size_t at = pos + 5;
    uid_t uid = 0;
    if (!next_number(*status, &at, &uid)) return std::nullopt;
    return uid;
}

// A process held through a pidfd. Once opened, signals reach this very
// process or nobody: if it ends and its number is given to a new process,
// the handle does not follow the number. Callers open the handle first and
// check what /proc says about the pid afterwards, so the checks always
// describe the process the handle names.
class ProcHandle {
  public:
    // The system calls are made directly: the C library's header for them
    // (glibc 2.36) lacks C++ linkage declarations.
    static std::optional<ProcHandle> open(pid_t pid) {
        int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0) return std::nullopt;
        return ProcHandle(pid, Fd(fd));
    }
    pid_t pid() const { return pid_; }
    // Sends `sig`; false when the process has already ended.
    bool signal(int sig) const {
        return ::syscall(SYS_pidfd_send_signal, fd_.get(), sig, nullptr, 0) == 0;
    }
    // A pidfd becomes readable when its process has ended (a zombie that
    // nobody has reaped yet counts as ended).
    bool alive() const {
        struct pollfd p = {fd_.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }

  private:
    ProcHandle(pid_t pid, Fd fd) : pid_(pid), fd_(std::move(fd)) {}
    pid_t pid_;
    Fd fd_;
};

}  // namespace vksrv

#endif
