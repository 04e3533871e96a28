// How the session files are cut into lines: 999 characters at a time (the
// rest of a longer line is a line of its own), a NUL byte ends a line's
// text, only a newline is dropped, and a last line needs none; across reads
// of any file size.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "scratch_dir.h"
#include "session_files.h"

namespace {

struct Proc {
    int rc;
    std::string xid, pid, program, uid;
};

Proc read_proc(vktest::Scratch &dir, const std::string &text) {
    vk_SessionProc_t *sp = nullptr;
    Proc p{parse_sessionfile(dir.file("proc", text).c_str(), &sp), "-", "-", "-", "-"};
    if (sp) {
        p = {p.rc, sp->xid ? sp->xid : "-", sp->pid ? sp->pid : "-",
             sp->program ? sp->program : "-", sp->uid ? sp->uid : "-"};
        free_sessionProc(sp);
    }
    return p;
}

TEST(SessionFileLines, LongLinesComeIn999CharacterPieces) {
    vktest::Scratch dir;
    // The second piece of the long line starts with a key and counts as one.
    Proc p = read_proc(dir, "XID=7\nprogram=p\n" + std::string(999, 'A') + "pid=9\n");
    EXPECT_EQ(p.rc, VK_OK);
    EXPECT_EQ(p.pid, "9");
    // One character fewer and the key is inside the first piece: no pid.
    p = read_proc(dir, "XID=7\nprogram=p\n" + std::string(998, 'A') + "pid=9\n");
    EXPECT_EQ(p.rc, VK_ERR_NO_FILE);
    // A value of 999 - 8 characters fits; its newline comes as an empty line.
    p = read_proc(dir, "XID=7\npid=1\nprogram=" + std::string(991, 'v') + "\n");
    EXPECT_EQ(p.program, std::string(991, 'v'));
}

TEST(SessionFileLines, NulEndsTheTextAndTheLastLineNeedsNoNewline) {
    vktest::Scratch dir;
    Proc p = read_proc(dir, std::string("XID=7\0junk\nuid= 12 \npid=1\r\nprogram=p", 36));
    EXPECT_EQ(p.rc, VK_OK);
    EXPECT_EQ(p.xid, "7");
    EXPECT_EQ(p.uid, "12");
    EXPECT_EQ(p.pid, "1\r");  // only the newline is dropped
    EXPECT_EQ(p.program, "p");
}

TEST(SessionFileLines, KeysAcrossReadBoundariesOfALargeFile) {
    vktest::Scratch dir;
    for (size_t filler : {4090u, 4096u, 8189u, 20000u}) {
        std::string text;
        while (text.size() < filler) text += "# filler line\n";
        text.resize(filler);
        text += "\nXID=3\npid=4\nprogram=" + std::string(700, 'p') + "\n";
        Proc p = read_proc(dir, text);
        EXPECT_EQ(p.rc, VK_OK) << filler;
        EXPECT_EQ(p.xid + p.pid, "34") << filler;
        EXPECT_EQ(p.program.size(), 700u) << filler;
    }
}

TEST(SessionFileLines, DisplayFileTakesTheLaterOfRepeatedKeys) {
    vktest::Scratch dir;
    vk_UserSession_t *s = nullptr;
    char *set = nullptr;
    std::string path = dir.file("disp",
                                "TOKEN=DeruRevaz.xx.abc\nINSERT_TOKEN=r\nDISPLAY=1\nDISPLAY=2\n"
                                "TOKEN_SET=a,b\nSESSION_TYPE=default");
    ASSERT_EQ(parse_displayfile(path.c_str(), &s, &set), VK_OK);
    EXPECT_STREQ(s->tokenName, "abc");
    EXPECT_STREQ(s->dispNo, "2");
    EXPECT_STREQ(s->sessionType, "default");
    EXPECT_STREQ(set, "a,b");
    vk_freeUserSessionEnt(s);
    std::free(set);
}

}  // namespace
