// pstop PID...
//
// Stops each named process with SIGSTOP, as the session tools do to freeze
// a suspended session's process tree. Exit status 0 when every process was
// stopped, 1 when an argument was not a valid pid or a process could not be
// signalled (the others are still stopped), 2 without arguments.
#include "signal_each.h"

int main(int argc, char **argv) {
    return vksrv::signal_each("pstop", SIGSTOP, argc, argv);
}
