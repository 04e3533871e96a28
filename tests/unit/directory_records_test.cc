// User status records (reading hostile values, writing), the CRAM-MD5
// answer, and the filters and bases of the directory look-ups.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "admin_internal.h"
#include "vkcxx.h"

namespace {

std::string show(const char *s) {
    return s ? s : "-";
}

// Reads a value from a buffer of exactly its length, as the database hands
// it out (no terminating zero byte to run into); id|name|create|status|desk|last.
std::string read_value(const std::string &bytes) {
    static char nothing;
    std::vector<char> exact(bytes.begin(), bytes.end());
    datum d{exact.empty() ? &nothing : exact.data(), static_cast<int>(exact.size())};
    vk::DbmUser u(fill_dbm_user_struct(d));
    if (!u) return "none";
    return show(u->id) + "|" + show(u->name) + "|" + std::to_string(u->create_time) + "|" +
           std::to_string(u->status) + "|" + show(u->last_desktop) + "|" +
           std::to_string(u->last_time);
}

TEST(UserStatus, ValuesAreReadWithinTheirLength) {
    const std::string S = "\x1e";
    const struct {
        std::string value, want;
    } cases[] = {
        {"U1" + S + "A" + S + "1" + S + "2" + S + S + "5" + S, "U1|A|1|2||5"},
        {"U1" + S + "Alice", "U1|Alice|0|0|-|0"},  // short: the rest is missing
        {"", "-|-|0|0|-|0"},
        {"U" + S + "N" + S + "abc" + S + "12x" + S + S + "-7" + S, "U|N|0|12||-7"},
        {"U" + S + "N" + S + "99999999999999999999" + S + "-99999999999999" + S,
         "U|N|" + std::to_string(INT_MAX) + "|" + std::to_string(INT_MIN) + "|-|0"},
        {"U" + S + "N" + S + "1" + S + "2" + S + "d" + S + "3" + S + "x" + S, "U|N|1|2|d|3"},
        {"U" + S + std::string("Al\0ce", 5) + S + "1" + S, "U|Al|1|0|-|0"},
        {"U" + S + std::string(507, 'n') + S, "U|" + std::string(507, 'n') + "|0|0|-|0"},
        // 512 bytes and more: no writer made it; it is not a record.
        {"U" + S + std::string(509, 'n') + S, "none"},
    };
    for (auto &c : cases) EXPECT_EQ(read_value(c.value), c.want) << c.value.size();
}

TEST(UserStatus, WriterFormatReadsBackAndRefusesWhatCannotBeRead) {
    char buf[VK_USTATUS_BUF];
    std::string name = "Alice", desk = "desk-01",
                sep =
                    "a\x1e"
                    "b";
    DBMUser u{const_cast<char *>("U1"), name.data(), 1700000000, -3, desk.data(), 42};
    int n = format_dbm_user(buf, sizeof buf, &u);
    ASSERT_EQ(n, 34);
    EXPECT_EQ(read_value(std::string(buf, n)), "U1|Alice|1700000000|-3|desk-01|42");
    u.last_desktop = sep.data();
    EXPECT_EQ(format_dbm_user(buf, sizeof buf, &u), -1);
    // The longest record fills the buffer but for its terminator.
    std::string longest(511 - 34 + 5, 'n'), over = longest + "n";
    u.last_desktop = desk.data();
    u.name = longest.data();
    EXPECT_EQ(format_dbm_user(buf, sizeof buf, &u), 511);
    u.name = over.data();
    EXPECT_EQ(format_dbm_user(buf, sizeof buf, &u), -1);
}

// RFC 2195's example, and a secret that holds a zero byte (it is counted,
// not a C text).
TEST(CramMd5, ResponseIsNameAndHexDigest) {
    const char *challenge = "<1896.697170952@postoffice.reston.mci.net>";
    vk::CStr r(
        vk_cram_md5_response("tim", "tanstaaftanstaaf", 16, challenge, std::strlen(challenge)));
    EXPECT_STREQ(r.get(), "tim b913a602c7eda7a495b4e6e7334d3890");
    vk::CStr a(vk_cram_md5_response("u", "ab\0c", 4, "x", 1));
    vk::CStr b(vk_cram_md5_response("u", "ab", 2, "x", 1));
    ASSERT_TRUE(a && b);
    EXPECT_STRNE(a.get(), b.get());
}

TEST(Lookup, FiltersAreEscapedAndBounded) {
    const struct {
        const char *prefix;
        std::string value, want;  // "" when it does not fit
    } cases[] = {
        {"vkname=", "*)(vkName=*", "vkname=\\2a\\29\\28vkName=\\2a"},
        {"vkname=", "a\\b\x01\x7f\xc3\xa9", "vkname=a\\5cb\\01\\7f\xc3\xa9"},
        {"vkname=", std::string(41, '*'), ""},  // 123 escaped characters
        {"vkRawTokenIDs=", std::string(113, 'r'), "vkRawTokenIDs=" + std::string(113, 'r')},
        {"vkLogicalTokenIDs=", std::string(110, 'l'), ""},
    };
    for (auto &c : cases) {
        char buf[VK_FILTER_BUF];
        bool fits = vk_build_filter(buf, sizeof buf, c.prefix, c.value.c_str());
        EXPECT_EQ(fits ? std::string(buf) : "", c.want) << c.value;
    }
}

// A name or subtree too long for its buffer is refused before any search:
// the handle's server is not even contacted (its port is closed, so a
// search ends in "not found" instead).
TEST(Lookup, TooLongForItsBufferIsNoBufferSpace) {
    const struct {
        size_t name, subtree;
        int want;
    } cases[] = {{120, 8, VK_ERR_NOT_FOUND},
                 {121, 8, VK_ERR_NO_BUFFER},
                 {5, 485, VK_ERR_NOT_FOUND},
                 {5, 486, VK_ERR_NO_BUFFER}};
    VKAdmin vka = allocate_vka();
    vka->ld = ldap_init("127.0.0.1", 1);
    ASSERT_NE(vka->ld, nullptr);
    set_suppress_output(1);
    for (auto &c : cases) {
        std::free(vka->subtree);
        vka->subtree = ::strdup(std::string(c.subtree, 'o').c_str());
        char **ids = nullptr;
        EXPECT_EQ(vk_getLtokenByUser(vka, std::string(c.name, 'n').c_str(), &ids), c.want)
            << c.name << " " << c.subtree;
        EXPECT_EQ(ids, nullptr);
    }
    set_suppress_output(0);
    vk_closeDsConnection(vka);
}

}  // namespace
