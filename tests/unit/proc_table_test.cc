// Reading the process table's lines, and the look-ups in its cache. Nothing
// here runs ps: the queries that do are exercised on sandboxed hosts.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "user_session_internal.h"

namespace {

TEST(ProcTable, LinesSplitIntoPidStateUidAndCommand) {
    struct {
        const char *line;
        int rc;
        std::string parsed;  // "pid uid comm state"
    } cases[] = {
        {"  123 T     0 bash\n", 0, "123 0 bash 4"},
        {"1 TX 0 x\n", 0, "1 0 x 4"},
        {"1 t 0 x\n", 0, "1 0 x 0"},  // a tracing stop is not a stop
        {"42 S 1000 my prog --flag\n", 0, "42 1000 my 0"},
        {"42\tT 1000 cmd x\n", 0, "42\tT cmd x 0"},
        // No newline: the last character goes in its place.
        {"1 S 0 bash", 0, "1 0 bas 0"},
        {"1 S 0 x", -1, ""},
        {"1 S 0 \n", -1, ""},
        {"", -1, ""},
        {nullptr, -1, ""},
    };
    for (auto &c : cases) {
        std::string line = c.line ? c.line : "";
        SCOPED_TRACE(line);
        vk_procTable_t *e = allocate_ps_entry();  // a stale value that must be cleared
        vk_procTable_t *stale = e;
        EXPECT_EQ(parse_ps_entry(c.line ? line.data() : nullptr, &e), c.rc);
        free_ps_entry(stale);
        if (c.rc != VK_OK) {
            EXPECT_EQ(e, nullptr);
            continue;
        }
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(
            std::string(e->pid) + " " + e->uid + " " + e->comm + " " + std::to_string(e->state),
            c.parsed);
        free_ps_entry(e);
    }
}

// "rc uid comm pid state" of the look-up of `pid`.
std::string ask(const char *pid) {
    char *uid = nullptr, *comm = nullptr, *p = nullptr;
    int state = 7;
    int rc = get_processState(pid, &uid, &state, &comm, &p);
    std::string r = std::to_string(rc) + " " + (uid ? uid : "-") + " " + (comm ? comm : "-") + " " +
                    (p ? p : "-") + " " + std::to_string(state);
    for (char *t : {uid, comm, p}) std::free(t);
    return r;
}

void load(std::string text) {
    std::FILE *f = fmemopen(text.data(), text.size(), "r");
    ASSERT_EQ(load_processState(f), VK_OK);
    std::fclose(f);
}

TEST(ProcTable, CacheLooksUpByExactTextAndTheNewestOfEqualIds) {
    load(
        "  PID S   UID COMMAND\n   10 S     0 init\n    9 T  1001 xclock\n"
        "   10 T  1002 again\nbad\n  010 S     0 zero\n");
    EXPECT_EQ(ask("10"), "0 1002 again 10 4");  // an id twice: the later line wins
    EXPECT_EQ(ask("9"), "0 1001 xclock 9 4");
    EXPECT_EQ(ask("010"), "0 0 zero 010 0");  // compared as text, not as numbers
    EXPECT_EQ(ask("11"), "-4 - - - 0");
    load("5 S 0 five\n");  // a second load replaces the first
    EXPECT_EQ(ask("10"), "-4 - - - 0");
    EXPECT_EQ(ask("5"), "0 0 five 5 0");
    reset_processState();
}

// Without a cache the look-up runs ps through a shell: ids that are no
// plain numbers name no process and must not reach it.
TEST(ProcTable, SingleQueryRunsNothingForIdsThatAreNotPlainNumbers) {
    reset_processState();
    const std::string mark = testing::TempDir() + "vk_ps_ran";
    std::remove(mark.c_str());
    for (const std::string &pid : std::vector<std::string>{
             "abc", "12a", "", "-1", "1 2", "1;touch " + mark, "$(touch " + mark + ")"})
        EXPECT_EQ(ask(pid.c_str()), "-4 - - - 0") << pid;
    EXPECT_NE(std::remove(mark.c_str()), 0) << "a shell ran";
    // An id too long for the command line is refused.
    EXPECT_EQ(ask(std::string(52, '1').c_str()), "-1 - - - 0");
}

}  // namespace
