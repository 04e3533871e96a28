// What crosses from a query process to vkgroup (frames) and from vkgroup to
// a terminal, a script or a scraper: bounded, and escaped for where it goes.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frames.h"
#include "output.h"
#include "text.h"

namespace {

using vkgroup::Frame;
using vkgroup::FrameReader;
using vkgroup::FrameType;

TEST(GroupFrames, AStreamCutAnywhereGivesTheSameFrames) {
    const std::string big(vkgroup::kMaxFrame - vkgroup::kFrameHeader, 'x');
    std::string stream = vkgroup::encode_frame(FrameType::Line, std::string("line\0name", 9)) +
                         vkgroup::encode_frame(FrameType::Warning, "") +
                         vkgroup::encode_frame(FrameType::Line, big) +
                         vkgroup::encode_frame(FrameType::Done, "2");
    for (size_t step : {size_t{1}, size_t{7}, size_t{4096}, stream.size()}) {
        FrameReader r(stream.size());
        std::vector<Frame> got;
        for (size_t at = 0; at < stream.size(); at += step)
            ASSERT_TRUE(r.feed(stream.data() + at, std::min(step, stream.size() - at), got))
                << step;
        ASSERT_EQ(got.size(), 4u) << step;
        EXPECT_EQ(got[0].payload, std::string("line\0name", 9));
        EXPECT_EQ(got[1].type, FrameType::Warning);
        EXPECT_EQ(got[2].payload.size(), big.size());
        EXPECT_EQ(got[3].payload, "2");
        EXPECT_TRUE(r.complete());
    }
}

TEST(GroupFrames, BrokenStreamsStayBroken) {
    struct Case {
        std::string bytes;
        size_t max_stream;
        std::string why;  // empty: not broken, but incomplete
    };
    std::string over(5, '\0');
    over[0] = 'R';
    uint32_t len = vkgroup::kMaxFrame - vkgroup::kFrameHeader + 1;
    for (int i = 0; i < 4; ++i) over[1 + i] = static_cast<char>((len >> (8 * i)) & 0xff);
    const std::vector<Case> cases = {
        {over, 1 << 20, "frame longer than 81920 bytes"},
        {std::string("Z\0\0\0\0", 5), 100, "unknown frame"},
        {vkgroup::encode_frame(FrameType::Done, "12345"), 9, "answer too large"},
        {vkgroup::encode_frame(FrameType::Done, "12345").substr(0, 7), 100, ""},
    };
    for (const Case &c : cases) {
        FrameReader r(c.max_stream);
        std::vector<Frame> got;
        bool fed = r.feed(c.bytes.data(), c.bytes.size(), got);
        EXPECT_EQ(fed, c.why.empty()) << c.why;
        EXPECT_EQ(r.why(), c.why);
        EXPECT_FALSE(r.complete());
        EXPECT_TRUE(got.empty());
        if (!c.why.empty()) {
            std::string good = vkgroup::encode_frame(FrameType::Done, "1");
            EXPECT_FALSE(r.feed(good.data(), good.size(), got));
        }
    }
}

TEST(GroupText, WhatATerminalAndALogLineGet) {
    const std::vector<std::pair<std::string, std::string>> terminal = {
        {"plain card-0a11ce", "plain card-0a11ce"},
        {"M\xc3\xbcller \xe2\x82\xac \xf0\x9f\x98\x80",
         "M\xc3\xbcller \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\x1b]0;owned\x07\x1b[2J", "?]0;owned??[2J"},
        {"tab\there\nnew\r\x7f", "tab?here?new??"},
        {"\xc2\x9b"
         "31m",
         "?31m"},  // C1 control CSI in UTF-8
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
    for (const auto &[in, out] : terminal) EXPECT_EQ(vkgroup::terminal_text(in), out) << in;
    // Machine output for a terminal: the same characters, and the
    // backslash, as \xHH for each of their bytes; text stays as it is.
    EXPECT_EQ(vkgroup::escaped_text("T=a\x1b[2J\\x1b;U=M\xc3\xbcller\xc2\x9b\xe2\x80\xae\xc3("),
              "T=a\\x1b[2J\\x5cx1b;U=M\xc3\xbcller\\xc2\\x9b\\xe2\\x80\\xae\\xc3(");
    EXPECT_EQ(vkgroup::one_line("a\nb\xc3\xbc"), "a?b??");
    EXPECT_EQ(vkgroup::one_line(std::string(301, 'x')), std::string(300, 'x') + "...");
    EXPECT_EQ(vkgroup::label_value("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
}

}  // namespace
