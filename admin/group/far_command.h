// Runs one of vkgroup's own far-side commands on another member, through
// the remote-command program and that member's gate, and takes its answer
// up to a bound.
#ifndef VK_GROUP_FAR_COMMAND_H
#define VK_GROUP_FAR_COMMAND_H

#include <string>
#include <vector>

namespace vkgroup {

struct FarAnswer {
    bool started = false;    // the remote-command program could be run
    bool too_large = false;  // more than the bound came; the rest was not read
    int status = 0;          // its wait status
    std::string output;      // both of its output streams, in order
};

// Runs "vkgroup ARGS..." on `host` (a checked host name). The answer is
// read only up to `max` bytes: a far side that sends without end is cut
// off there, never held in memory.
FarAnswer run_far_vkgroup(const std::string &host, const std::vector<std::string> &args,
                          size_t max);

// The reason to show for a line of a far answer that is not what was
// asked for: the remote-command program's own message, or the line.
std::string far_trouble(const std::string &line, const std::string &host, const char *expected);

}  // namespace vkgroup

#endif
