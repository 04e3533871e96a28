// Text helpers of the parsers, and the debug categories.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "utils.h"

namespace {

// The owned text as a string ("(null)" for none), freed.
std::string take(char *s) {
    std::string r = s ? s : "(null)";
    std::free(s);
    return r;
}

// Stripping is checked through the key/value split below and the
// configuration file's tests.
TEST(Text, NumericAndSubstring) {
    // Only plain digits: these values go on to command lines and pid look-ups.
    for (const char *t : {"12a", "-1", " 1", "1 ", "+1"}) EXPECT_EQ(is_numeric(t), 0) << t;
    EXPECT_EQ(is_numeric("0123456789"), 1);
    EXPECT_EQ(is_substring("ABCdef", "cD"), 1);
    EXPECT_EQ(is_substring("abc", "abcd"), 0);
    EXPECT_EQ(is_substring("aab", "ab"), 1);
}

TEST(Text, ShellSafeWordsExcludeEveryMetacharacter) {
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

TEST(Debug, KeepsItsOwnCopyOfTheCategories) {
    char categories[] = "a";
    set_gdebug(categories);
    categories[0] = 'z';
    EXPECT_EQ(gdebug("a"), 1);
    EXPECT_EQ(gdebug("z"), 0);
    set_gdebug(nullptr);
    EXPECT_EQ(gdebug("a"), 0);
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
        vktest::clear_log();
        dlprintf(c.tag, "opening %s", "vkhost:7010");
        EXPECT_EQ(vktest::logged(), c.written ? std::vector<std::string>{std::string("(") + c.tag +
                                                                         ") opening vkhost:7010"}
                                              : std::vector<std::string>{});
    }
    set_gdebug("a");
    set_suppress_output(1);
    vktest::clear_log();
    dprintf("quiet");
    log_admin("socket", "quiet");
    dlprintf("a", "heard");
    set_suppress_output(0);
    log_admin("socket", "Error opening socket - refused.");
    set_gdebug(nullptr);
    EXPECT_EQ(vktest::logged(),
              (std::vector<std::string>{"(a) heard", "socket : Error opening socket - refused."}));
}

}  // namespace
