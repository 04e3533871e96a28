// How the session files are cut into lines across the reads of a file: the
// lines and their pieces come out the same wherever a 4096-byte read ends.
// The cutting itself (999-character pieces, NUL bytes, a last line without
// its newline) is checked end to end in test_limits.py.
#include <string>

#include <gtest/gtest.h>

#include "scratch_dir.h"
#include "session_files.h"

namespace {

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
