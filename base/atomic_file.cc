#include "atomic_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "vkcxx.h"

namespace vk {

namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ};

// The temporary file while it exists, for the handler of the ending
// signals: a run killed by a timer's time-out or a file size limit must
// not leave a file behind at every tick. One write at a time owns these;
// another thread's write meanwhile goes without the clean-up.
std::atomic_flag cleanup_taken = ATOMIC_FLAG_INIT;
int temp_dir = -1;
char temp_name[NAME_MAX + 1];
volatile sig_atomic_t temp_exists = 0;

extern "C" void remove_temp_and_end(int sig) {
    if (temp_exists) ::unlinkat(temp_dir, temp_name, 0);
    ::signal(sig, SIG_DFL);
    ::raise(sig);  // delivered when the handler returns, with the default now
}

// The ending signals held for a moment, so that the handler never sees the
// file's name and its existence disagree.
class HoldSignals {
  public:
    HoldSignals() {
        sigset_t s;
        sigemptyset(&s);
        for (int sig : kEndingSignals) sigaddset(&s, sig);
        ::pthread_sigmask(SIG_BLOCK, &s, &old_);
    }
    ~HoldSignals() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    HoldSignals(const HoldSignals &) = delete;
    HoldSignals &operator=(const HoldSignals &) = delete;

  private:
    sigset_t old_;
};

// While it lives, the ending signals that are at their default remove the
// temporary file first. A signal the program ignores or handles itself is
// left alone: taking it over would end a program that meant to go on.
class TempCleanup {
  public:
    TempCleanup() : owner_(!cleanup_taken.test_and_set()) {
        if (!owner_) return;
        struct sigaction sa {};
        sa.sa_handler = remove_temp_and_end;
        sigemptyset(&sa.sa_mask);
        for (int sig : kEndingSignals) sigaddset(&sa.sa_mask, sig);
        for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
            struct sigaction old {};
            if (::sigaction(kEndingSignals[i], nullptr, &old) == 0 && old.sa_handler == SIG_DFL &&
                !(old.sa_flags & SA_SIGINFO))
                taken_[i] = ::sigaction(kEndingSignals[i], &sa, nullptr) == 0;
        }
    }
    ~TempCleanup() {
        if (!owner_) return;
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        for (size_t i = 0; i < std::size(kEndingSignals); ++i)
            if (taken_[i]) ::sigaction(kEndingSignals[i], &dfl, nullptr);
        cleanup_taken.clear();
    }
    TempCleanup(const TempCleanup &) = delete;
    TempCleanup &operator=(const TempCleanup &) = delete;

    // Creates the temporary file `name` below `dirfd` as the handler's.
    Fd create(int dirfd, const std::string &name, mode_t mode) {
        auto open_it = [&] {
            return Fd(::openat(dirfd, name.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
        };
        if (!owner_) return open_it();
        HoldSignals hold;
        std::memcpy(temp_name, name.c_str(), name.size() + 1);
        temp_dir = dirfd;
        Fd fd = open_it();
        temp_exists = fd ? 1 : 0;
        return fd;
    }
    // Removes the temporary file, or forgets it once it has been renamed.
    void done(int dirfd, const std::string &name, bool renamed) {
        std::optional<HoldSignals> hold;
        if (owner_) hold.emplace();
        if (!renamed) ::unlinkat(dirfd, name.c_str(), 0);
        if (owner_) temp_exists = 0;
    }

  private:
    bool owner_;
    bool taken_[std::size(kEndingSignals)] = {};
};

std::atomic<unsigned> temp_counter{0};

}  // namespace

int write_file_atomically(int dirfd, const std::string &name, std::string_view text, mode_t mode,
                          const struct timespec *not_before) {
    const std::string tmp = "." + name + "." + std::to_string(::getpid()) + "." +
                            std::to_string(temp_counter.fetch_add(1));
    if (name.empty() || name.find('/') != std::string::npos) return EINVAL;
    if (tmp.size() > NAME_MAX) return ENAMETOOLONG;
    TempCleanup cleanup;
    Fd fd = cleanup.create(dirfd, tmp, mode);
    if (!fd && errno == EEXIST) {
        // No live process has our pid and counter: what is there was left
        // by a killed run that had them before.
        ::unlinkat(dirfd, tmp.c_str(), 0);
        fd = cleanup.create(dirfd, tmp, mode);
    }
    if (!fd) return errno;
    int err = 0;
    if (!write_all(fd.get(), text.data(), text.size()))
        err = errno != 0 ? errno : EIO;
    else if (::fchmod(fd.get(), mode) != 0 || ::fsync(fd.get()) != 0)
        err = errno;
    struct stat st;
    if (err == 0 && not_before) {
        if (::fstat(fd.get(), &st) != 0) {
            err = errno;
        } else if (st.st_mtim.tv_sec < not_before->tv_sec) {
            struct timespec times[2] = {{0, UTIME_OMIT}, *not_before};
            if (::futimens(fd.get(), times) != 0) err = errno;
        }
    }
    // A failed close may be the first word of a failed write (NFS).
    if (::close(fd.release()) != 0 && err == 0) err = errno;
    if (err == 0 && ::renameat(dirfd, tmp.c_str(), dirfd, name.c_str()) != 0) err = errno;
    cleanup.done(dirfd, tmp, err == 0);
    if (err != 0) return err;
    // The rename made durable: after a crash, the new file and not the old.
    if (::fsync(dirfd) != 0 && errno != EINVAL && errno != EROFS) return errno;
    return 0;
}

bool write_file_atomically(const std::string &path, std::string_view text, mode_t mode,
                           std::string &error) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    Fd dirfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int err = dirfd ? write_file_atomically(dirfd.get(), name, text, mode) : errno;
    if (err == 0) return true;
    error = path + ": " + std::strerror(err);
    return false;
}

}  // namespace vk
