// The host reachability probe: runs the host's ping tool against a host in
// a child process and reports its verdict.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "child_signals.h"
#include "user_session_internal.h"
#include "vkadmin.h"

namespace {

// The probe that a PingAhead started and nobody has waited for yet.
struct Ahead {
    std::string host;
    pid_t child = -1;
    // Taken by ping_verdict_now before anyone asked ping_host: kept for it.
    bool decided = false;
    int verdict = 0;
};
Ahead *ahead = nullptr;

// The probe's child, or the error number of a failed fork as a negative.
pid_t start_probe(const char *host) {
    pid_t child = ::fork();
    if (child < 0) return -errno;
    if (child == 0) ::_exit(execping(host));
    return child;
}

int verdict_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 4;
    return 3;
}

int verdict(pid_t child) {
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    if (r < 0) {
        if (errno == ECHILD) {
            dprintf("ping_host::waitpid() returned ECHILD. Child PID: %d...",
                    static_cast<int>(child));
            return 0;
        }
        return errno;
    }
    return verdict_of(status);
}

}  // namespace

int execping(const char *host) {
    vk::default_signal_state();
    // Nothing of the caller (connections, files) may leak into the tool.
    for (int fd = 3; fd <= 255; ++fd) ::close(fd);
    int null = ::open("/dev/null", O_RDWR);
    if (null < 0) return errno;
    for (int fd = 0; fd <= 2; ++fd)
        if (::dup2(null, fd) < 0) return errno;
    if (null >= 3) ::close(null);
    static char path_entry[] = "PATH=/usr/bin:/usr/sbin:/bin";
    char *const envp[] = {path_entry, nullptr};
    ::execle("/usr/sbin/ping", "ping", host, "5", static_cast<char *>(nullptr), envp);
    return errno;
}

int ping_host(const char *host) {
    if (!host) return 0;
    if (!*host) return EINVAL;
    pid_t child = -1;
    if (ahead && ahead->decided && ahead->host == host) {
        ahead->decided = false;
        return ahead->verdict;
    }
    if (ahead && ahead->child > 0 && ahead->host == host)
        child = std::exchange(ahead->child, -1);
    else
        child = start_probe(host);
    if (child < 0) return -child;
    return verdict(child);
}

bool ping_verdict_now(const char *host, int *verdict) {
    if (!ahead || !host || ahead->host != host) return false;
    if (!ahead->decided && ahead->child > 0) {
        int status = 0;
        pid_t r;
        while ((r = ::waitpid(ahead->child, &status, WNOHANG)) < 0 && errno == EINTR) {
        }
        // Still running, or not ours to wait for: ping_host decides, and
        // says so, when it is asked.
        if (r != ahead->child) return false;
        ahead->child = -1;
        ahead->decided = true;
        ahead->verdict = verdict_of(status);
    }
    if (!ahead->decided) return false;
    *verdict = ahead->verdict;
    return true;
}

PingAhead::PingAhead(const char *host) {
    if (ahead || !host || !*host) return;  // one at a time; the rest as ping_host does it
    ahead = new (std::nothrow) Ahead;
    if (!ahead) return;
    owner_ = true;
    try {
        ahead->host = host;
    } catch (const std::bad_alloc &) {
        return;  // no probe ahead: ping_host starts its own
    }
    pid_t child = start_probe(host);
    if (child > 0) ahead->child = child;
}

PingAhead::~PingAhead() {
    if (!owner_) return;
    // Not asked for: the probe has no say any more, and nobody waits for it.
    if (ahead->child > 0) {
        ::kill(ahead->child, SIGKILL);
        while (::waitpid(ahead->child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    delete std::exchange(ahead, nullptr);
}
