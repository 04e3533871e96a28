// RAII owners of the C resources every part of the product handles:
// malloc'd texts, FILE streams, directory streams, pipes to commands and
// descriptors; and whole reads and writes of a descriptor.
#ifndef VK_VKCXX_H
#define VK_VKCXX_H

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <dirent.h>
#include <unistd.h>

namespace vk {

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
// A text allocated with malloc/strdup, freed with free().
using CStr = std::unique_ptr<char, FreeDeleter>;

// Copy of `s` in malloc'd memory (null for null), for the texts that
// records and lists own by contract.
inline CStr dup(const char *s) {
    return CStr(s ? ::strdup(s) : nullptr);
}
inline CStr dup(const std::string &s) {
    return CStr(::strdup(s.c_str()));
}

struct FileCloser {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR *d) const noexcept { ::closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// A descriptor closed on scope exit.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd &operator=(Fd &&o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// A shell command's standard output (mode "r") or input (mode "w") as a
// stream, like popen(), except that the shell starts with no signal
// blocked and every disposition the default (child_signals.h), whatever
// the caller blocks or ignores. close() waits for the command and returns
// its raw wait status (or -1); the destructor does the same when the owner
// leaves early.
class Pipe {
  public:
    // `err`, when not -1, is the descriptor the command's standard error
    // goes to instead of ours.
    Pipe(const char *command, const char *mode, int err = -1);
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    ~Pipe() { close(); }
    std::FILE *get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    // The shell's process id; -1 when none runs.
    pid_t pid() const { return pid_; }
    int close();

  private:
    std::FILE *f_ = nullptr;
    pid_t pid_ = -1;
};

// Writes all `n` bytes to `fd`, going on after interruptions; false when it
// cannot (the reader is gone).
inline bool write_all(int fd, const char *data, size_t n) {
    size_t at = 0;
    while (at < n) {
        ssize_t w = ::write(fd, data + at, n - at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        at += static_cast<size_t>(w);
    }
    return true;
}

// Reads `fd` to its end, going on after interruptions; none when a read
// fails or when there is more than `max` bytes (errno EFBIG): nothing this
// product reads is legitimately larger than the bound its caller knows.
std::optional<std::string> read_all(int fd, size_t max);

// An exit status counts as a failure only when the program exited normally
// with a non-zero code; a command killed by a signal is not reported as one.
// Answers that code, or 0.
int failed_exit_code(int wait_status);

}  // namespace vk

#endif
