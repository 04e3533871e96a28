// Values that configuration files, command lines and requests carry (the
// durations of the limits, the host names of the group), and texts from far
// sides and the network as a terminal, a page or a log line gets them:
// controls, bidirectional controls and broken UTF-8 made harmless; and the
// order that listings sort their texts in.
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "duration.h"
#include "host_name.h"
#include "text.h"
#include "text_order.h"

namespace {

TEST(BaseValues, DurationsAndTheirBounds) {
    // The minutes, hours and days of the limits file are checked there.
    EXPECT_EQ(vk::parse_duration("90s"), 90);
    EXPECT_EQ(vk::parse_duration("3660d"), 3660 * 86400);
    for (const char *bad :
         {"", "s", "90", "1.5h", "-5m", "5 m", "5M", "3661d", "99999999999999s", "1h30m", "0x10s"})
        EXPECT_FALSE(vk::parse_duration(bad)) << bad;
    EXPECT_EQ(vk::human_duration(59), "59s");
    EXPECT_EQ(vk::human_duration(3599), "59m");
    EXPECT_EQ(vk::human_duration(3 * 3600 + 5 * 60), "3h 05m");
    EXPECT_EQ(vk::human_duration(2 * 86400 + 4 * 3600 + 59), "2d 04h");
}

TEST(BaseValues, HostNamesAtAndOverTheirLimits) {
    const std::string label63(63, 'a'), label64(64, 'a');
    // 253 characters: three labels of 63 and one of 61, joined by dots.
    const std::string longest =
        label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    ASSERT_EQ(longest.size(), 253u);
    for (const std::string &ok : {std::string("parvix2"), std::string("p-2.example.org"),
                                  std::string("10.77.0.2"), label63, longest, std::string("A")})
        EXPECT_TRUE(vk::valid_host_name(ok)) << ok;
    for (const std::string &bad :
         {std::string(""), label64, longest + "c", std::string("-oProxyCommand=x"),
          std::string("a-"), std::string("a..b"), std::string("a."), std::string(".a"),
          std::string("bad_name"), std::string("root@host"), std::string("a b"),
          std::string("h\xc3\xa9")})
        EXPECT_FALSE(vk::valid_host_name(bad)) << bad;
}

TEST(BaseText, WhatATerminalAndALogLineGet) {
    const std::vector<std::pair<std::string, std::string>> terminal = {
        {"plain card-0a11ce", "plain card-0a11ce"},
        {"M\xc3\xbcller \xe2\x82\xac \xf0\x9f\x98\x80",
         "M\xc3\xbcller \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\x1b]0;owned\x07\x1b[2J", "?]0;owned??[2J"},
        {"tab\there\nnew\r\x7f", "tab?here?new??"},
        {"\xc2\x9b[31m", "?[31m"},  // C1 control CSI in UTF-8
        {"\xc3", "?"},
        {"\xc3(", "?("},  // cut and broken sequences
        {"\xc0\xaf", "??"},
        {"\xe0\x80\xaf", "???"},  // over-long forms
        {"\xed\xa0\x80", "???"},
        {"\xf5\x80\x80\x80", "????"},
        // Bidirectional controls: marks (U+200E, U+200F, U+061C), embeddings
        // and overrides (U+202A to U+202E), isolates (U+2066 to U+2069); their
        // neighbours (U+200D, U+202F, U+2065, U+061B) are text.
        {"a\xe2\x80\x8e\xe2\x80\x8f\xd8\x9c", "a???"},
        {"\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xac\xe2\x80\xad\xe2\x80\xaetok", "?????tok"},
        {"\xe2\x81\xa6\xe2\x81\xa7\xe2\x81\xa8\xe2\x81\xa9", "????"},
        {"\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xd8\x9b",
         "\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xd8\x9b"},
    };
    for (const auto &[in, out] : terminal) EXPECT_EQ(vk::terminal_text(in), out) << in;
    // Machine output for a terminal: the same characters, and the
    // backslash, as \xHH for each of their bytes; text stays as it is.
    EXPECT_EQ(vk::escaped_text("T=a\x1b[2J\\x1b;U=M\xc3\xbcller\xc2\x9b\xe2\x80\xae\xc3("),
              "T=a\\x1b[2J\\x5cx1b;U=M\xc3\xbcller\\xc2\\x9b\\xe2\\x80\\xae\\xc3(");
    EXPECT_EQ(vk::one_line("a\nb\xc3\xbc"), "a?b??");
    EXPECT_EQ(vk::one_line(std::string(301, 'x')), std::string(300, 'x') + "...");
}

// The quick sort of texts gives what a stable sort by strcmp gives: texts
// that differ before, at and after their 16th byte, end there, share all of
// it, or hold bytes above 0x7f (strcmp compares them unsigned).
TEST(BaseTextOrder, AsAStableSortByStrcmp) {
    std::mt19937 random(7);
    const std::string letters = "ab\x01\xff";
    for (int round = 0; round < 500; ++round) {
        std::vector<std::pair<std::string, int>> items;
        for (int i = 0; i < 40; ++i) {
            std::string t(random() % 3 ? 14 + random() % 5 : random() % 20, 'a');
            for (size_t k = t.size() > 13 ? 13 : 0; k < t.size(); ++k)
                t[k] = letters[random() % letters.size()];
            items.push_back({t, i});
        }
        auto expected = items;
        std::stable_sort(expected.begin(), expected.end(), [](const auto &a, const auto &b) {
            return std::strcmp(a.first.c_str(), b.first.c_str()) < 0;
        });
        vk::stable_sort_by_text(items, [](const auto &item) { return item.first.c_str(); });
        ASSERT_EQ(items, expected) << round;
    }
}

}  // namespace
