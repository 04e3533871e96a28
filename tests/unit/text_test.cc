// Text helpers of the parsers and the debug category switch.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "utils.h"

namespace {

// The owned text as a string ("(null)" for none), freed.
std::string take(char *s) {
    std::string r = s ? s : "(null)";
    std::free(s);
    return r;
}

TEST(Text, StripTrimsBlanksTabsAndNewlinesIntoACopy) {
    const char *cases[][2] = {
        {nullptr, "(null)"}, {"", "(null)"},       {" \t\n ", "(null)"}, {" x ", "x"},
        {"x", "x"},          {"\t a b \n", "a b"}, {"\n\nx\t", "x"},     {"x\r", "x\r"},
    };
    for (auto &c : cases) {
        std::string text = c[0] ? c[0] : "";  // a writable copy, checked for changes after
        EXPECT_EQ(take(strip_leading_and_trailing_whitespace(c[0] ? text.data() : nullptr)), c[1])
            << text;
        EXPECT_EQ(text, c[0] ? c[0] : "");
    }
}

TEST(Text, NumericAndSubstringAnswers) {
    struct {
        const char *text;
        int numeric;
    } num[] = {{"", 1},   {"0", 1},  {"0123456789", 1}, {"12a", 0}, {"-1", 0},
               {" 1", 0}, {"1 ", 0}, {"+1", 0},         {"1.5", 0}};
    for (auto &c : num) EXPECT_EQ(is_numeric(c.text), c.numeric) << '"' << c.text << '"';

    struct {
        const char *hay, *needle;
        int found;
    } sub[] = {{"ABCdef", "cD", 1}, {"abc", "abcd", 0}, {"abc", "ABC", 1}, {"abc", "", 1},
               {"", "a", 0},        {"aab", "ab", 1},   {"xyz", "yx", 0}};
    for (auto &c : sub)
        EXPECT_EQ(is_substring(c.hay, c.needle), c.found) << c.hay << "/" << c.needle;
}

TEST(Text, ShellSafeWords) {
    struct {
        const char *text;
        int safe;
    } cases[] = {{"abc.D_e-9", 1}, {"", 0},    {nullptr, 0}, {"a b", 0}, {"a;b", 0}, {"$x", 0},
                 {"a/b", 0},       {"`x`", 0}, {"a\n", 0},   {"*", 0},   {"'", 0}};
    for (auto &c : cases) EXPECT_EQ(is_shell_safe(c.text), c.safe) << (c.text ? c.text : "null");
}

struct KvCase {
    const char *line;
    int rc;
    const char *key, *value;
};
class KeyValue : public testing::TestWithParam<KvCase> {};

TEST_P(KeyValue, SplitsAtTheFirstEqualsSign) {
    const KvCase &c = GetParam();
    char *key = (char *)"stale", *value = (char *)"stale";
    EXPECT_EQ(parse_key_and_value(c.line, &key, &value), c.rc);
    EXPECT_EQ(take(key), c.key);
    EXPECT_EQ(take(value), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Text, KeyValue,
    testing::Values(KvCase{" key \t= value \n", 1, "key", "value"},
                    KvCase{"#a=b", 0, "(null)", "(null)"}, KvCase{"=", 0, "(null)", "(null)"},
                    KvCase{"", 0, "(null)", "(null)"}, KvCase{"a", 0, "(null)", "(null)"},
                    KvCase{"ab", 0, "(null)", "(null)"}, KvCase{"a=", 1, "a", "(null)"},
                    KvCase{"a = \t\n", 1, "a", "(null)"}, KvCase{"=b", 1, "(null)", "b"},
                    KvCase{"a=b=c", 1, "a", "b=c"}, KvCase{" #a=b", 1, "#a", "b"}));

TEST(Text, KeyValueSidesAreCutTo511Characters) {
    std::string line = std::string(600, 'k') + "=" + std::string(511, 'v') + "w";
    char *key, *value;
    ASSERT_EQ(parse_key_and_value(line.c_str(), &key, &value), 1);
    EXPECT_EQ(take(key), std::string(511, 'k'));
    EXPECT_EQ(take(value), std::string(511, 'v'));
}

// set_gdebug reports the new setting through the diagnostic channel: muted here.
int gdebug_with(const char *categories, const char *tag) {
    set_suppress_output(1);
    set_gdebug("x");  // something to clear, so that the absent case checks the clearing
    set_gdebug(categories);
    int r = gdebug(tag);
    set_gdebug(nullptr);
    set_suppress_output(0);
    return r;
}

TEST(Debug, CategoriesSwitchTagsOn) {
    struct {
        const char *categories, *tag;
        int on;
    } cases[] = {
        {nullptr, "a", 0}, {nullptr, " ", 0}, {nullptr, "", 0}, {nullptr, "*", 0},
        {"ab", "a", 1},    {"ab", "b", 1},    {"ab", "ba", 1},  {"ab", "da", 1},
        {"ab", "d", 0},    {"ab", " ", 1},    {"ab", "", 0},    {"ab", "A", 0},
        {"*", "", 1},      {"*", "z", 1},     {"*", " ", 1},    {"d*", "z", 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(gdebug_with(c.categories, c.tag), c.on)
            << (c.categories ? c.categories : "null") << " / '" << c.tag << "'";
}

TEST(Debug, KeepsItsOwnCopyOfTheCategories) {
    char categories[] = "a";
    set_suppress_output(1);
    set_gdebug(categories);
    categories[0] = 'z';
    EXPECT_EQ(gdebug("a"), 1);
    EXPECT_EQ(gdebug("z"), 0);
    set_gdebug(nullptr);
    set_suppress_output(0);
}

}  // namespace
