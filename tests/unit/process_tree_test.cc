// Reading the process tree tool's output back into the pids to stop or
// continue: the tree's shape, lines at and over the read buffer, and lines
// written to smuggle a process or a command onto the command line.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "pipe_readers.h"

namespace {

// A line of `n` characters before its newline: the pid, a blank, filler.
std::string line_of(size_t n, const std::string &head) {
    return head + std::string(n - head.size(), 'x') + "\n";
}

TEST(ProcessTree, PidsOfTheClientAndItsDescendants) {
    const struct {
        std::string output;
        int rc;
        std::string pids;
    } cases[] = {
        {"1 init\n  4502 sh\n    4510 sleep\n", 0, " 4502 4510"},  // ancestors passed over
        {"1 init\n  4503 sh\n    4504 sleep\n", -4, ""},
        {"1 init\n  45020 sh\n", -4, ""},  // the client's pid only as a prefix
        {"4502 sh\n  4510 sleep", 0, " 4502 4510"},
        // A line of 1022 characters and its newline fills the 1024-byte buffer.
        {"4502 sh\n" + line_of(1022, "  4510 ") + "  4511 sleep\n", 0, " 4502 4510 4511"},
        {"4502 sh\n" + line_of(1023, "  4510 ") + "  4511 sleep\n", 0, " 4502 4510 4511"},
        // The rest of a longer line comes as a piece of its own, and here it
        // would look like a descendant.
        {"4502 sh\n" + line_of(1023, "  4510 ").substr(0, 1023) + "  6666 x\n  4511 sleep\n", 0,
         " 4502 4510 4511"},
        {"4502 sh\n  4510 " + std::string(3000, 'y') + "\n  4511 sleep\n", 0, " 4502 4510 4511"},
        {std::string("4502 sh\n  4510 a\0b\n  4511 c\n", 27), 0, " 4502 4510 4511"},
        {"4502 sh\n  4510;touch /tmp/x y\n  $(id) y\n  0 y\n  -1 y\n  4511 z\n", 0, " 4502 4511"},
        {"4502 sh\n  4510\n  4511 z\n", 0, " 4502 4511"},  // no blank after the pid
    };
    for (auto &c : cases) {
        std::string copy = c.output, pids;
        std::FILE *f = fmemopen(copy.data(), copy.size(), "r");
        EXPECT_EQ(read_process_tree(f, "4502", &pids), c.rc) << c.output.substr(0, 40);
        std::fclose(f);
        EXPECT_EQ(pids, c.pids) << c.output.substr(0, 40);
    }
}

}  // namespace
