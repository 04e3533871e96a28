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

TEST(GroupText, MetricLabelsEscapeWhatEndsThem) {
    EXPECT_EQ(vkgroup::label_value("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
}

}  // namespace
