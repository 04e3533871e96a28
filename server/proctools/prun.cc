// prun PID...
//
// Lets each named stopped process run again with SIGCONT, the counterpart
// of pstop. Exit status 0 when every process was signalled, 1 when an
// argument was not a valid pid or a process could not be signalled (the
// others are still continued), 2 without arguments.
#include "signal_each.h"

int main(int argc, char **argv) {
    return vksrv::signal_each("prun", SIGCONT, argc, argv);
}
