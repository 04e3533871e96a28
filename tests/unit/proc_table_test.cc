// Reading the process table's lines. Nothing here runs ps: the queries that
// do are exercised on sandboxed hosts.
#include <string>

#include <gtest/gtest.h>

#include "vkadmin.h"

namespace {

struct PsCase {
    const char *line;
    int rc;
    const char *pid = nullptr, *uid = nullptr, *comm = nullptr;
    int state = 0;
};
class PsLine : public testing::TestWithParam<PsCase> {};

TEST_P(PsLine, SplitsIntoPidStateUidAndCommand) {
    const PsCase &c = GetParam();
    std::string line = c.line ? c.line : "";
    vk_procTable_t *e = allocate_ps_entry();  // a stale value that must be cleared
    vk_procTable_t *stale = e;
    EXPECT_EQ(parse_ps_entry(c.line ? line.data() : nullptr, &e), c.rc);
    free_ps_entry(stale);
    if (c.rc != VK_OK) {
        EXPECT_EQ(e, nullptr);
        return;
    }
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->pid, c.pid);
    EXPECT_STREQ(e->uid, c.uid);
    EXPECT_STREQ(e->comm, c.comm);
    EXPECT_EQ(e->state, c.state);
    free_ps_entry(e);
}

INSTANTIATE_TEST_SUITE_P(
    ProcTable, PsLine,
    testing::Values(PsCase{"  123 T     0 bash\n", 0, "123", "0", "bash", VK_PROC_STOPPED},
                    PsCase{"1 TX 0 x\n", 0, "1", "0", "x", VK_PROC_STOPPED},
                    PsCase{"1 t 0 x\n", 0, "1", "0", "x", 0},  // tracing stop is not a stop
                    PsCase{"1 S 0 x\n", 0, "1", "0", "x", 0},
                    PsCase{"1 R 0 x\n", 0, "1", "0", "x", 0},
                    PsCase{"1 Z 0 x\n", 0, "1", "0", "x", 0},
                    PsCase{"42 S 1000 my prog --flag\n", 0, "42", "1000", "my", 0},
                    PsCase{"42\tT 1000 cmd x\n", 0, "42\tT", "cmd", "x", 0},
                    PsCase{"  PID S   UID COMMAND\n", 0, "PID", "UID", "COMMAND", 0},
                    // No newline: the last character goes in its place.
                    PsCase{"1 S 0 bash", 0, "1", "0", "bas", 0}, PsCase{"1 S 0 x", -1},
                    PsCase{"1 S 0\n", -1}, PsCase{"1 S 0 \n", -1}, PsCase{"\n", -1}, PsCase{"", -1},
                    PsCase{nullptr, -1}));

TEST(ProcTable, SingleQueryRunsNothingForIdsThatAreNotPlainNumbers) {
    reset_processState();  // no cache: the query would go to a shell
    // Such a text names no process; an id too long for the command is refused.
    struct {
        std::string pid;
        int rc;
    } cases[] = {{"abc", -4},  {"12a", -4}, {"", -4},      {"-1", -4},
                 {"1;id", -4}, {"1 2", -4}, {"$(id)", -4}, {std::string(52, '1'), -1}};
    for (auto &c : cases) {
        char dummy;
        char *uid = &dummy, *comm = &dummy, *pid = &dummy;
        int s = 7;
        EXPECT_EQ(get_processState(c.pid.c_str(), &uid, &s, &comm, &pid), c.rc) << c.pid;
        EXPECT_EQ(uid, nullptr);
        EXPECT_EQ(comm, nullptr);
        EXPECT_EQ(pid, nullptr);
        EXPECT_EQ(s, 0);
    }
}

}  // namespace
