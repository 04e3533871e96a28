// The signal state that every program this product starts begins with.
//
// A process inherits its starter's blocked signals and ignored signals
// across fork and exec. Our long-running programs block the signals that end
// them (to take them synchronously, or to hold them while calls run) and
// ignore SIGPIPE; a child that inherited that state would ignore the
// SIGTERM of a service stop, or a broken pipe, and outlive its starter. So
// a child starts from a clean slate: nothing blocked, every disposition
// the default.
#ifndef VK_CHILD_SIGNALS_H
#define VK_CHILD_SIGNALS_H

#include <csignal>
#include <spawn.h>

namespace vk {

// In a child (after fork, before exec or the child's own work): unblocks
// every signal and sets every disposition back to the default. Signals
// that cannot be changed (SIGKILL, SIGSTOP, the C library's own) are left
// as they are. Async-signal-safe.
inline void default_signal_state() {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// For posix_spawn: the same clean slate, set in the child before it runs
// the program. `flags` are added (POSIX_SPAWN_SETPGROUP, say). 0 or an
// error number.
inline int default_signal_attr(posix_spawnattr_t &attr, short flags = 0) {
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    int rc = posix_spawnattr_setsigmask(&attr, &none);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr, &all);
    if (rc == 0)
        rc = posix_spawnattr_setflags(
            &attr, static_cast<short>(flags | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    return rc;
}

}  // namespace vk

#endif
