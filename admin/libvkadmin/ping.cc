// The host reachability probe: runs the host's ping tool against a host in
// a child process and reports its verdict.
#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vkadmin.h"

int execping(const char *host) {
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
    // The tool starts as execping starts it (descriptors 0 to 2 on
    // /dev/null and no other open, PATH alone in the environment), but
    // through posix_spawn: a fork would first copy the page tables of the
    // whole caller, which grow with the sessions it holds, only for the
    // child to throw them away at once.
    posix_spawn_file_actions_t actions;
    if (int rc = ::posix_spawn_file_actions_init(&actions)) return rc;
    int rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!rc) rc = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0);
    if (!rc) rc = ::posix_spawn_file_actions_adddup2(&actions, 0, 1);
    if (!rc) rc = ::posix_spawn_file_actions_adddup2(&actions, 0, 2);
    pid_t child = -1;
    if (!rc) {
        static char path_entry[] = "PATH=/usr/bin:/usr/sbin:/bin";
        char *const envp[] = {path_entry, nullptr};
        char name[] = "ping", timeout[] = "5";
        char *const argv[] = {name, const_cast<char *>(host), timeout, nullptr};
        rc = ::posix_spawn(&child, "/usr/sbin/ping", &actions, nullptr, argv, envp);
    }
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc) return rc;  // as the child's exit status with the errno of execping

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
