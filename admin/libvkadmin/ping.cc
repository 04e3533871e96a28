// The host reachability probe: runs the host's ping tool against a host in
// a child process and reports its verdict.
#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_signals.h"
#include "vkadmin.h"

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
    pid_t child = ::fork();
    if (child < 0) return errno;
    if (child == 0) ::_exit(execping(host));

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
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 4;
    return 3;
}
