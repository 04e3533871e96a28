// Values that configuration files, command lines and requests carry: the
// durations of the limits and the host names of the group.
#include <string>

#include <gtest/gtest.h>

#include "duration.h"
#include "host_name.h"

namespace {

TEST(BaseValues, DurationsAndTheirBounds) {
    EXPECT_EQ(vk::parse_duration("90s"), 90);
    EXPECT_EQ(vk::parse_duration("45m"), 45 * 60);
    EXPECT_EQ(vk::parse_duration("8h"), 8 * 3600);
    EXPECT_EQ(vk::parse_duration("7d"), 7 * 86400);
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

}  // namespace
