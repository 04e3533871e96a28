// What vkweb does as root, before it reads a byte from the network.
#include "startup.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <optional>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "child_signals.h"
#include "protocol.h"

namespace vkweb {

namespace {

constexpr const char *kHelper = "/opt/KELWvk/lib/vkweb-helper";
constexpr const char *kEmptyRoot = "/run/vkweb";

}  // namespace

[[noreturn]] void die(const std::string &why) {
    std::fprintf(stderr, "vkweb: %s\n", why.c_str());
    syslog(LOG_ERR, "%s", why.c_str());
    std::exit(1);
}

bool read_file(const std::string &path, std::string &out) {
    vk::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    std::optional<std::string> all = vk::read_all(fd.get(), size_t{1} << 20);
    if (!all) return false;
    out = std::move(*all);
    return true;
}

// The listening socket on the configured address (IPv4 or IPv6) and port.
int listen_on(const Config &c) {
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE | AI_NUMERICSERV;
    struct addrinfo *ai = nullptr;
    std::string port = std::to_string(c.port);
    if (::getaddrinfo(c.address.c_str(), port.c_str(), &hints, &ai) != 0 || !ai)
        die("address is no numeric IPv4 or IPv6 address: " + c.address);
    std::unique_ptr<struct addrinfo, decltype(&::freeaddrinfo)> owned(ai, &::freeaddrinfo);
    vk::Fd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, 0));
    if (!fd) die(std::string("socket: ") + std::strerror(errno));
    int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd.get(), 64) != 0)
        die("cannot listen on " + c.address + " port " + port + ": " + std::strerror(errno));
    return fd.release();
}

// Starts the helper with its ends of the lanes on descriptors kFirstLane
// on. They are first moved above the lanes' numbers, so that placing one
// cannot overwrite another.
pid_t start_helper(const std::vector<vk::Fd> &helper_ends, const std::string &config) {
    std::vector<vk::Fd> high;
    for (const vk::Fd &end : helper_ends) {
        high.emplace_back(::fcntl(end.get(), F_DUPFD_CLOEXEC, kFirstLane + kLanes));
        if (!high.back()) die(std::string("fcntl: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    for (size_t i = 0; i < high.size(); ++i)
        posix_spawn_file_actions_adddup2(&fa, high[i].get(), kFirstLane + static_cast<int>(i));
    // Not the signals that this process blocks to take them in sigwait,
    // nor its ignored SIGPIPE: the helper, and what it starts, must end on
    // a service stop like any program.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    vk::default_signal_attr(attr);
    const char *argv[] = {kHelper, "-c", config.c_str(), nullptr};
    char path_env[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char *envp[] = {path_env, nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, kHelper, &fa, &attr, const_cast<char *const *>(argv), envp);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) die(std::string("cannot start ") + kHelper + ": " + std::strerror(rc));
    return pid;
}

// Into the empty root, as the unprivileged user, for good.
void drop_privileges(const Config &c) {
    struct passwd *pw = ::getpwnam(c.user.c_str());
    if (!pw || pw->pw_uid == 0 || pw->pw_gid == 0) die("no unprivileged account " + c.user);
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    struct stat st;
    if (::lstat(kEmptyRoot, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0 ||
        (st.st_mode & (S_IWGRP | S_IWOTH)))
        die(std::string(kEmptyRoot) + " is no directory of root's that only root may write");
    if (::chroot(kEmptyRoot) != 0 || ::chdir("/") != 0)
        die(std::string("cannot change root to ") + kEmptyRoot + ": " + std::strerror(errno));
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
        ::setresuid(uid, uid, uid) != 0)
        die(std::string("cannot become ") + c.user + ": " + std::strerror(errno));
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) die("cannot forbid new privileges");
    if (::setuid(0) == 0 || ::geteuid() == 0) die("root could be regained");
}

}  // namespace vkweb
