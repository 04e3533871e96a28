// Reading the process tree tool's output back into the pids to stop or
// continue: the tree's shape, lines at and over the read buffer, and lines
// written to smuggle a process or a command onto the command line.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "pipe_readers.h"

namespace {

struct TreeCase {
    const char *what;
    std::string output;
    int rc;
    std::string pids;
};

void PrintTo(const TreeCase &c, std::ostream *os) {
    *os << c.what;
}

// Reads `output` for the client 4502.
std::pair<int, std::string> read(const std::string &output) {
    std::string copy = output;
    std::FILE *f = fmemopen(copy.data(), copy.size(), "r");
    std::string pids;
    int rc = read_process_tree(f, "4502", &pids);
    std::fclose(f);
    return {rc, pids};
}

// A line of `n` characters before its newline: the pid, a blank, filler.
std::string line_of(size_t n, const std::string &head) {
    return head + std::string(n - head.size(), 'x') + "\n";
}

class ProcessTree : public testing::TestWithParam<TreeCase> {};

TEST_P(ProcessTree, Pids) {
    const TreeCase &c = GetParam();
    EXPECT_EQ(read(c.output), std::make_pair(c.rc, c.pids));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessTree,
    testing::Values(
        TreeCase{"ancestors are passed over", "1 init\n  4502 sh\n    4510 sleep\n", 0,
                 " 4502 4510"},
        TreeCase{"no line of the client", "1 init\n  4503 sh\n    4504 sleep\n", -4, ""},
        TreeCase{"the client's pid only as a prefix", "1 init\n  45020 sh\n", -4, ""},
        TreeCase{"a last line without its newline", "4502 sh\n  4510 sleep", 0, " 4502 4510"},
        // A line of 1022 characters and its newline fills the 1024-byte buffer.
        TreeCase{"a line exactly at the buffer",
                 "4502 sh\n" + line_of(1022, "  4510 ") + "  4511 sleep\n", 0, " 4502 4510 4511"},
        TreeCase{"a line one over the buffer",
                 "4502 sh\n" + line_of(1023, "  4510 ") + "  4511 sleep\n", 0, " 4502 4510 4511"},
        // The rest of a longer line comes as a piece of its own, and here it
        // would look like a descendant.
        TreeCase{
            "the rest of a long line",
            "4502 sh\n" + line_of(1023, "  4510 ").substr(0, 1023) + "  6666 x\n  4511 sleep\n", 0,
            " 4502 4510 4511"},
        TreeCase{"a command line much longer than the buffer",
                 "4502 sh\n  4510 " + std::string(3000, 'y') + "\n  4511 sleep\n", 0,
                 " 4502 4510 4511"},
        TreeCase{"a NUL byte inside a line", std::string("4502 sh\n  4510 a\0b\n  4511 c\n", 27), 0,
                 " 4502 4510 4511"},
        TreeCase{"pids that are no plain numbers",
                 "4502 sh\n  4510;touch /tmp/x y\n  $(id) y\n  0 y\n  -1 y\n  4511 z\n", 0,
                 " 4502 4511"},
        TreeCase{"a line without a blank after its pid", "4502 sh\n  4510\n  4511 z\n", 0,
                 " 4502 4511"}));

}  // namespace
