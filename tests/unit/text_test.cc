// Text helpers of the parsers, the messages of the result codes (their
// translation is checked end to end, through vksession and the installed
// catalogue), and the debug categories.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "utils.h"
#include "vkerrno.h"

namespace {

// The unit tests never reach the machine's system log: this test program
// defines syslog() itself (the program's own definition wins over the C
// library's), and every message the library logs is kept here.
std::vector<std::string> logged;

}  // namespace

extern "C" {

void vsyslog(int, const char *fmt, va_list ap) {
    char buf[2048];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    logged.push_back(buf);
}

void syslog(int pri, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsyslog(pri, fmt, ap);
    va_end(ap);
}

// The fortified name, in case the library is built with _FORTIFY_SOURCE.
void __syslog_chk(int pri, int, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsyslog(pri, fmt, ap);
    va_end(ap);
}

}  // extern "C"

namespace {

// The owned text as a string ("(null)" for none), freed.
std::string take(char *s) {
    std::string r = s ? s : "(null)";
    std::free(s);
    return r;
}

// Only plain digits count as numeric: checked through the pid look-ups and
// the configuration file's port. Stripping is checked through the
// key/value split below and the configuration file's tests.
TEST(Text, SubstringsAndShellSafeWords) {
    EXPECT_EQ(is_substring("ABCdef", "cD"), 1);
    EXPECT_EQ(is_substring("abc", "abcd"), 0);
    EXPECT_EQ(is_substring("aab", "ab"), 1);
    EXPECT_EQ(is_shell_safe("abc.D_e-9"), 1);
    for (const char *t : {"", "a b", "a;b", "$x", "a/b", "`x`", "a\n", "*", "'", "a|b", "~"})
        EXPECT_EQ(is_shell_safe(t), 0) << t;
    EXPECT_EQ(is_shell_safe(nullptr), 0);
}

TEST(Text, KeyValueSplitsAtTheFirstEqualsSignWithinTheBuffer) {
    struct {
        std::string line;
        int rc;
        std::string key, value;
    } cases[] = {
        {" key \t= value \n", 1, "key", "value"},
        {"#a=b", 0, "(null)", "(null)"},  // a comment only in the first column
        {" #a=b", 1, "#a", "b"},
        {"=b", 1, "(null)", "b"},
        {"a=b=c", 1, "a", "b=c"},
        // Each side is cut to the 511 characters of its buffer.
        {std::string(600, 'k') + "=" + std::string(511, 'v') + "w", 1, std::string(511, 'k'),
         std::string(511, 'v')},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.line.substr(0, 20));
        char *key = (char *)"stale", *value = (char *)"stale";
        EXPECT_EQ(parse_key_and_value(c.line.c_str(), &key, &value), c.rc);
        EXPECT_EQ(take(key), c.key);
        EXPECT_EQ(take(value), c.value);
    }
}

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

// A tagged report is written when any one letter of its tag is a chosen
// category; "*" chooses all, a blank tag needs some category chosen, and
// muting silences failure reports and admin records but not debug output.
TEST(Debug, CategoriesAndMuting) {
    struct Case {
        const char *categories, *tag;
        bool written;
    } cases[] = {
        {nullptr, "a", false}, {nullptr, " ", false}, {"ab", "a", true}, {"ab", "ba", true},
        {"ab", "db", true},    {"ab", "d", false},    {"ab", " ", true}, {"ab", "", false},
        {"*", "d", true},      {"*", "", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.categories ? c.categories : "(none)") + " / [" + c.tag + "]");
        set_gdebug(c.categories);
        logged.clear();
        dlprintf(c.tag, "opening %s", "vkhost:7010");
        EXPECT_EQ(logged, c.written ? std::vector<std::string>{std::string("(") + c.tag +
                                                               ") opening vkhost:7010"}
                                    : std::vector<std::string>{});
    }
    // The categories are copied: the caller's buffer may change or go.
    char categories[] = "a";
    set_gdebug(categories);
    categories[0] = 'z';
    set_suppress_output(1);
    logged.clear();
    dprintf("quiet");
    log_admin("socket", "quiet");
    dlprintf("a", "heard");
    dlprintf("z", "not chosen");
    set_suppress_output(0);
    log_admin("socket", "Error opening socket - refused.");
    set_gdebug(nullptr);
    dlprintf("a", "no longer chosen");
    EXPECT_EQ(logged,
              (std::vector<std::string>{"(a) heard", "socket : Error opening socket - refused."}));
}

}  // namespace
