// Result codes and their messages (their translation is checked end to
// end, through vksession and the installed catalogue).
#include <cerrno>
#include <climits>

#include <gtest/gtest.h>

#include "vkerrno.h"

namespace {

// The edges of the message table: its ends, the hole at -21, and codes on
// either side that must not index past it.
TEST(Errors, MessagesAtTheEdgesOfTheTable) {
    const char *undefined = "Undefined error code";
    struct {
        int code;
        const char *msg;
    } cases[] = {{0, "Success"},
                 {-21, undefined},
                 {-22, "Session detached"},
                 {-33, "Data replication timed out"},
                 {-34, undefined},
                 {1, undefined},
                 {2, "Unknown system error"},
                 {INT_MIN, undefined},
                 {INT_MAX, undefined}};
    for (auto &c : cases) EXPECT_STREQ(vk_err2str(c.code), c.msg) << c.code;
    // Unknown system and directory results fall back to the caller's code.
    EXPECT_EQ(vk_errno2vkerr(EINTR, -99), -99);
    EXPECT_EQ(vk_errno2vkerr(0, -99), 0);
    EXPECT_EQ(vk_dserr2vkerr(-1), -1);
}

}  // namespace
