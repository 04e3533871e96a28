// Texts from far sides and the network as a terminal, a page or a log line
// gets them: controls, bidirectional controls and broken UTF-8 made harmless.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "text.h"

namespace {

TEST(BaseText, WhatATerminalAndALogLineGet) {
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
    for (const auto &[in, out] : terminal) EXPECT_EQ(vk::terminal_text(in), out) << in;
    // Machine output for a terminal: the same characters, and the
    // backslash, as \xHH for each of their bytes; text stays as it is.
    EXPECT_EQ(vk::escaped_text("T=a\x1b[2J\\x1b;U=M\xc3\xbcller\xc2\x9b\xe2\x80\xae\xc3("),
              "T=a\\x1b[2J\\x5cx1b;U=M\xc3\xbcller\\xc2\\x9b\\xe2\\x80\\xae\\xc3(");
    EXPECT_EQ(vk::one_line("a\nb\xc3\xbc"), "a?b??");
    EXPECT_EQ(vk::one_line(std::string(301, 'x')), std::string(300, 'x') + "...");
}

}  // namespace
