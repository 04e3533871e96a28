// Shared bits of the server programs: strict parsing of the numbers that
// arrive on command lines and in session files, reading small files, and
// the directories the session files live in. The owners of descriptors and
// the whole reads and writes come from the product's base layer.
//
// Everything read from a file or a command line is treated as hostile: the
// numbers must be plain decimal digits within a bound, files are opened
// without following symbolic links, and directories that could have been
// planted by another user (they live below /tmp) are refused.
#ifndef VK_SERVER_COMMON_H
#define VK_SERVER_COMMON_H

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "atomic_file.h"
#include "vkcxx.h"

namespace vksrv {

// ---- owners -----------------------------------------------------------

// The library's owners of descriptors and directory streams.
using vk::Dir;
using vk::Fd;

// Directory stream over a duplicate of `dirfd` (closedir closes the copy,
// the caller keeps its own descriptor).
inline Dir open_dir_stream(int dirfd) {
    int copy = ::fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return nullptr;
    DIR *d = ::fdopendir(copy);
    if (!d) ::close(copy);
    return Dir(d);
}

// The caller may run us with a standard descriptor closed (the library
// appends "2>&-" to some commands). A descriptor we open later would then
// land on 0, 1 or 2 and receive output meant for the terminal, so the gaps
// are filled with /dev/null first.
inline void ensure_std_fds() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        int n = ::open("/dev/null", O_RDWR);
        if (n >= 0 && n != fd) {
            ::dup2(n, fd);
            ::close(n);
        }
    }
}

// ---- numbers ----------------------------------------------------------

// A decimal number written the way the kernel and the session files write
// it: digits only, no sign, no blanks, no leading zero (except "0" itself),
// at most `max`. Anything else is refused rather than interpreted, so that
// "-1", "0x10", " 5" or "007" can never reach kill() or a file name.
inline std::optional<unsigned long> parse_decimal(std::string_view s, unsigned long max) {
    if (s.empty() || s.size() > 10) return std::nullopt;
    if (s.size() > 1 && s[0] == '0') return std::nullopt;
    unsigned long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v > max) return std::nullopt;
    return v;
}

// Highest pid the kernel can ever hand out (PID_MAX_LIMIT on 64-bit).
constexpr unsigned long kPidMax = 4194304;
// X display numbers we manage; keeps every derived path short.
constexpr unsigned long kDisplayMax = 9999;

// A process id: 1..kPidMax. 0 and negative numbers have group meanings for
// kill() and are never accepted.
inline std::optional<pid_t> parse_pid(std::string_view s) {
    auto v = parse_decimal(s, kPidMax);
    if (!v || *v == 0) return std::nullopt;
    return static_cast<pid_t>(*v);
}

inline std::optional<unsigned> parse_display(std::string_view s) {
    auto v = parse_decimal(s, kDisplayMax);
    if (!v) return std::nullopt;
    return static_cast<unsigned>(*v);
}

// ---- text -------------------------------------------------------------

// Replaces control characters by '?', so that a hostile process name or
// file value cannot start a new line in output that others parse by line.
inline std::string printable(std::string_view s) {
    std::string out(s);
    for (char &c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '?';
    }
    return out;
}

// The value of `key` in a session file ("KEY=value" lines). As the readers
// of these files do, the key is matched at the start of the line and the
// last occurrence wins.
inline std::optional<std::string> key_value(std::string_view content, std::string_view key) {
    std::optional<std::string> found;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string_view::npos) end = content.size();
        std::string_view line = content.substr(pos, end - pos);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == '=')
            found = std::string(line.substr(key.size() + 1));
        pos = end + 1;
    }
    return found;
}

// ---- files ------------------------------------------------------------

// Reads at most `max` bytes of a descriptor. More than that is an error:
// nothing we read is legitimately that large.
using vk::read_all;

// Reads the regular file `name` below `dirfd` (or an absolute path with
// AT_FDCWD), never through a symbolic link. With `root_only` the file must
// belong to root. errno tells why when nothing is returned (ENOENT when the
// file is absent).
inline std::optional<std::string> read_file_at(int dirfd, const char *name, size_t max,
                                               bool root_only = false) {
    Fd fd(::openat(dirfd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return std::nullopt;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return std::nullopt;
    if (!S_ISREG(st.st_mode) || (root_only && st.st_uid != 0)) {
        errno = EPERM;
        return std::nullopt;
    }
    return read_all(fd.get(), max);
}

// Whether `name` exists below `dirfd` (symbolic links count as entries).
inline bool exists_at(int dirfd, const char *name) {
    struct stat st;
    return ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// ---- directories ------------------------------------------------------

// Opens the absolute directory `path` component by component without
// following symbolic links, creating missing components with `mode` when
// `create` is set. Each component must belong to root; a component that
// others may write to is accepted only with the sticky bit (as /tmp) and
// never as the directory itself (unless `sticky_ok`, for the X server's
// socket directory, which is shared like /tmp). This keeps a user from
// planting, say, his own /tmp/KELWvk before the first session and then
// feeding us files.
// Answers the open directory, or an empty Fd with errno set (ENOENT when
// a component is missing and `create` is off, EPERM when one is unsafe).
inline Fd open_dir(const std::string &path, bool create, mode_t mode = 0755,
                   bool sticky_ok = false) {
    Fd cur(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!cur || path.empty() || path[0] != '/') return Fd();
    size_t pos = 1;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        std::string comp = path.substr(pos, end - pos);
        pos = end + 1;
        if (comp.empty()) continue;
        bool last = pos > path.size();
        int fd = ::openat(cur.get(), comp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == ENOENT && create) {
            if (::mkdirat(cur.get(), comp.c_str(), mode) != 0 && errno != EEXIST) return Fd();
            fd = ::openat(cur.get(), comp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        }
        if (fd < 0) return Fd();
        Fd next(fd);
        struct stat st;
        if (::fstat(next.get(), &st) != 0) return Fd();
        bool shared = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        bool sticky = (st.st_mode & S_ISVTX) != 0;
        if (st.st_uid != 0 || (shared && (!sticky || (last && !sticky_ok)))) {
            errno = EPERM;
            return Fd();
        }
        cur = std::move(next);
    }
    return cur;
}

// Fixed homes of the session files and of the X server's traces.
inline constexpr const char *kDisplaysDir = "/var/opt/KELWvk/displays";
inline constexpr const char *kCtokensDir = "/var/opt/KELWvk/ctokens";
inline constexpr const char *kIdleDir = "/var/opt/KELWvk/idle";
inline constexpr const char *kSessionProcDir = "/tmp/KELWvk/session_proc";
inline constexpr const char *kX11SocketDir = "/tmp/.X11-unix";

inline std::string x_lock_path(unsigned display) {
    return "/tmp/.X" + std::to_string(display) + "-lock";
}
inline std::string x_socket_name(unsigned display) {
    return "X" + std::to_string(display);
}

inline void sleep_ms(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace vksrv

#endif
