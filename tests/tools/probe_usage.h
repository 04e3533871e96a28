// The probes' answer to a command line they cannot use: the reason on the
// standard error, under the program's own name, and status 2.
#ifndef VK_TEST_PROBE_USAGE_H
#define VK_TEST_PROBE_USAGE_H

#include <cerrno>
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void bad_usage(const char *why) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, why);
    std::exit(2);
}

#endif
