// What the library reads about processes: the process table's lines and
// the look-ups in its cache (nothing here runs ps: the queries that do are
// exercised on sandboxed hosts); the process tree tool's output, read back
// into the pids to stop or continue, with lines at and over the read buffer
// and lines written to smuggle a process or a command onto the command
// line; and session proc files read across the reads of a large file (their
// cutting into 999-character pieces, NUL bytes and a last line without its
// newline are checked end to end).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pipe_readers.h"
#include "scratch_dir.h"
#include "session_files.h"
#include "user_session_internal.h"

namespace {

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

// A line is split at blanks only (a tab is part of the pid), a tracing
// stop is not a stop, and a line that does not parse is passed over: one
// without a command, and a last line without its newline (whose last
// character goes as the newline would).
TEST(ProcTable, CacheLooksUpByExactTextAndTheNewestOfEqualIds) {
    load(
        "  PID S   UID COMMAND\n   10 S     0 init\n    9 T  1001 xclock\n"
        "   10 T  1002 again\nbad\n  010 S     0 zero\n11 t 0 traced\n42\tT 1000 cmd x\n"
        "12 S 0\n13 S 0 x");
    EXPECT_EQ(ask("10"), "0 1002 again 10 4");  // an id twice: the later line wins
    EXPECT_EQ(ask("9"), "0 1001 xclock 9 4");
    EXPECT_EQ(ask("010"), "0 0 zero 010 0");  // compared as text, not as numbers
    EXPECT_EQ(ask("11"), "0 0 traced 11 0");
    EXPECT_EQ(ask("42\tT"), "0 cmd x 42\tT 0");
    for (const char *none : {"12", "13"}) EXPECT_EQ(ask(none), "-4 - - - 0") << none;
    // Each line is read into 1024 bytes and loses its last character (its
    // newline): a line of 1022 characters is whole; of one more, the last
    // one goes, and the newline after it is an empty line.
    const std::string comm(1014, 'c');
    load("11 S 0 " + comm + "x\n12 T 0 " + comm + "xy\n");
    EXPECT_EQ(ask("11"), "0 0 " + comm + "x 11 0");
    EXPECT_EQ(ask("12"), "0 0 " + comm + "x 12 4");
    load("5 S 0 five\n");  // a second load replaces the first
    EXPECT_EQ(ask("10"), "-4 - - - 0");
    EXPECT_EQ(ask("5"), "0 0 five 5 0");
    reset_processState();

    // A failed parse leaves no stale entry behind.
    vk_procTable_t *e = allocate_ps_entry(), *stale = e;
    EXPECT_EQ(parse_ps_entry(nullptr, &e), VK_ERR_INTERNAL);
    EXPECT_EQ(e, nullptr);
    free_ps_entry(stale);
}

// Without a cache the look-up runs ps through a shell: ids that are no
// plain numbers name no process and must not reach it.
TEST(ProcTable, SingleQueryRunsNothingForIdsThatAreNotPlainNumbers) {
    reset_processState();
    const std::string mark = testing::TempDir() + "vk_ps_ran";
    std::remove(mark.c_str());
    for (const std::string &pid :
         std::vector<std::string>{"abc", "12a", "", "-1", "+1", " 1", "1 ", "1 2",
                                  "1;touch " + mark, "$(touch " + mark + ")"})
        EXPECT_EQ(ask(pid.c_str()), "-4 - - - 0") << pid;
    EXPECT_NE(std::remove(mark.c_str()), 0) << "a shell ran";
    // An id too long for the command line is refused.
    EXPECT_EQ(ask(std::string(52, '1').c_str()), "-1 - - - 0");
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
        // A line that fills the read buffer, then one whose tail past the
        // buffer looks like a bystander's line, then a far longer one.
        {"4502 sh\n" + std::string("  4510 ").append(1015, 'x') + "\n" +
             std::string("  4511 ").append(1016, 'y') + "  4999 sleep\n",
         0, " 4502 4510 4511"},
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

TEST(SessionFileLines, KeysAcrossReadBoundariesOfALargeFile) {
    vktest::Scratch dir;
    // Fillers that put a read's end inside a key's line, right before it,
    // and (20000) inside the long value.
    for (size_t filler : {4090u, 4096u, 8189u, 20000u}) {
        std::string text;
        while (text.size() < filler) text += "# filler line\n";
        text.resize(filler);
        text += "\nXID=3\npid=4\nprogram=" + std::string(700, 'p') + "\n";
        vk_SessionProc_t *sp = nullptr;
        ASSERT_EQ(parse_sessionfile(dir.file("proc", text).c_str(), &sp), VK_OK) << filler;
        EXPECT_EQ(std::string(sp->xid) + sp->pid, "34") << filler;
        EXPECT_EQ(std::string(sp->program), std::string(700, 'p')) << filler;
        free_sessionProc(sp);
    }
}

}  // namespace
