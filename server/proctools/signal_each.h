// The loop shared by pstop and prun: one signal to each pid named on the
// command line.
#ifndef VK_SERVER_SIGNAL_EACH_H
#define VK_SERVER_SIGNAL_EACH_H

#include <csignal>
#include <cstdio>
#include <cstring>

#include "../common.h"

namespace vksrv {

// Sends `sig` to every argument that is a valid pid. A bad argument or a
// failed kill() is reported on stderr and does not stop the others: a
// process tree is handed over as one list and a member that has just ended
// must not leave its siblings unstopped. Answers the exit status: 0 when
// every pid was signalled, 1 otherwise, 2 without arguments.
inline int signal_each(const char *prog, int sig, int argc, char **argv) {
    ensure_std_fds();
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PID...\n", prog);
        return 2;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        auto pid = parse_pid(argv[i]);
        if (!pid) {
            std::fprintf(stderr, "%s: invalid process id: %s\n", prog, printable(argv[i]).c_str());
            status = 1;
        } else if (::kill(*pid, sig) != 0) {
            std::fprintf(stderr, "%s: %d: %s\n", prog, static_cast<int>(*pid),
                         std::strerror(errno));
            status = 1;
        }
    }
    return status;
}

}  // namespace vksrv

#endif
