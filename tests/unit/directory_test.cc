// The directory side: the administration configuration file, the password
// file, the opening paths that fail before a directory is reached, user
// status records (reading hostile values, writing), the CRAM-MD5 answer, and
// the bounds of the directory look-ups.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "admin_internal.h"
#include "scratch_dir.h"
#include "vkcxx.h"

namespace {

using namespace std::string_literals;

std::string show(const char *s) {
    return s ? s : "-";
}

struct VkaFree {
    void operator()(VKAdminStruct *v) const { free_vka(v); }
};
using Handle = std::unique_ptr<VKAdminStruct, VkaFree>;

// "server subtree user port authmech timeout" after reading `text`.
std::string read_config(vktest::Scratch &dir, const std::string &text) {
    DStimeout = 10;
    Handle vka(allocate_vka());
    EXPECT_EQ(read_config_file(vka.get(), dir.file("conf", text).c_str()), 0) << text;
    std::string r = show(vka->server_name) + " " + show(vka->subtree) + " " + show(vka->user_name) +
                    " " + std::to_string(vka->server_port) + " " + std::to_string(vka->authmech) +
                    " " + std::to_string(DStimeout);
    DStimeout = 10;
    return r;
}

// Comments and the split at "=" are parse_key_and_value's, checked with the
// other text helpers.
TEST(Config, LinesKeysAndValues) {
    const std::string piece(497, 'x');  // "admin.subtree=" + 497 = 511 characters
    const struct {
        std::string text, want;
    } cases[] = {
        {"\t admin.server.name \t=\t h1 \t\nadmin.user.name=cn=a,o=v\n", "h1 - cn=a,o=v 0 1 10"},
        // A carriage return is part of the value: the port is not numeric.
        {"admin.server.port=389\r\nadmin.server.name=h\r\n", "h\r - - 0 1 10"},
        {"admin.server.port=-5\nadmin.server.port=+5\nadmin.server.port=5a\n", "- - - 0 1 10"},
        {"admin.server.port=99999999999999999999\n", "- - - 2147483647 1 10"},
        {"Admin.server.name=x\nnoequals\n=v\nadmin.server.name=\n", "- - - 0 1 10"},
        // Only the exact upper-case name selects CRAM-MD5 again.
        {"admin.server.authmech=SIMPLE\nadmin.server.authmech=cram_md5\n", "- - - 0 0 10"},
        {"admin.server.authmech=SIMPLE\nadmin.server.authmech=CRAM_MD5\n", "- - - 0 1 10"},
        {"admin.server.timeout=0\n", "- - - 0 1 0"},
        {"admin.server.timeout=-5\nadmin.server.timeout=3s\n", "- - - 0 1 10"},
        // A line longer than 511 characters is read in pieces; the rest is
        // a line of its own.
        {"admin.subtree=" + piece + "admin.server.name=tail\n", "tail " + piece + " - 0 1 10"},
        // A NUL byte ends a line's text; the last line needs no newline.
        {"admin.server.name=h1\0admin.subtree=x\nadmin.subtree=o=\xff\x01v\nadmin.server.port=389"s,
         "h1 o=\xff\x01v - 389 1 10"}};
    vktest::Scratch dir;
    for (auto &c : cases) EXPECT_EQ(read_config(dir, c.text), c.want) << c.text;
}

TEST(PasswordFile, FirstLineUnscrambledWithinItsBuffer) {
    const struct {
        std::string text, want;
        int code;
    } cases[] = {
        {"  nqzvacj \t\nfrpbaq\n", "adminpw", 0},
        {"nqzvacj\r\n", "adminpw\r", 0},
        {"  \t\n", "-", -1},
        {"", "-", -1},
        {std::string(600, 'n') + "\n", std::string(511, 'a'), 0},  // a 512-byte buffer
        {"  frperg\0x \n"s, "secret", 0},                          // a NUL byte ends it
        {"frperg", "secret", 0},                                   // no newline
    };
    vktest::Scratch dir;
    for (auto &c : cases) {
        int code = 99;
        vk::CStr pw(read_passwd_file(dir.file("pw", c.text).c_str(), &code));
        EXPECT_EQ(show(pw.get()), c.want) << c.text;
        EXPECT_EQ(code, c.code) << c.text;
    }
    int code = 0;
    EXPECT_EQ(read_passwd_file(dir.path("none").c_str(), &code), nullptr);
    EXPECT_EQ(code, VK_ERR_NO_FILE);
    // The scrambling is its own inverse over every byte but NUL.
    std::string every;
    for (int b = 1; b < 256; ++b) every += static_cast<char>(b);
    vk::CStr once(scramble_text(every.c_str()));
    vk::CStr twice(scramble_text(once.get()));
    EXPECT_EQ(twice.get(), every);
}

// Opening fails before any directory is involved, and says why in its code
// (an incomplete configuration is check_vka's); the partly built handle is
// released on every path (the sanitizer build checks for leaks).
TEST(Open, FailuresBeforeTheDirectory) {
    vktest::Scratch dir;
    const std::string base =
        "admin.server.name=127.0.0.1\nadmin.server.port=1\n"
        "admin.subtree=o=x\nadmin.dstatus.dbfile=" +
        dir.path("d") + "\nadmin.ustatus.dbfile=" + dir.path("u") + "\n";
    const struct {
        std::string conf;
        int mode;
        const char *passwd;
        int want;
    } cases[] = {
        {"", 1, nullptr, VK_ERR_NO_FILE},                        // no configuration file at all
        {"admin.server.name=h\n", 1, nullptr, VK_ERR_INTERNAL},  // no port, no subtree
        {base, 2, "pw", VK_ERR_INTERNAL},                        // no admin.user.name
        // CRAM-MD5 without a password fails before a connection is tried
        // (the server's port is closed: trying would give -1).
        {base + "admin.user.name=cn=a\n", 2, nullptr, VK_ERR_AUTH_FAILED},
        {base + "admin.user.name=cn=a\nadmin.server.authmech=SIMPLE\n", 2, "pw", VK_ERR_INTERNAL},
        {base, 1, nullptr, VK_ERR_INTERNAL},  // anonymous, server down
    };
    for (auto &c : cases) {
        std::string conf = c.conf.empty() ? dir.path("missing") : dir.file("conf", c.conf);
        VKAdmin vka = reinterpret_cast<VKAdmin>(0x1);
        EXPECT_EQ(vk_openDsConnection(c.mode, nullptr, c.passwd, conf.c_str(), nullptr, &vka),
                  c.want)
            << c.conf << " mode " << c.mode;
        EXPECT_EQ(vka, nullptr);
    }
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
    std::string name = "Alice", desk = "desk-01", sep = "a\x1ez";
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

// A secret that holds a zero byte is counted, not a C text (a right answer
// is the directory's to accept: checked end to end against a real server).
TEST(CramMd5, TheSecretIsCountedNotATextEndedByZero) {
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
    for (auto &c : cases) {
        std::free(vka->subtree);
        vka->subtree = ::strdup(std::string(c.subtree, 'o').c_str());
        char **ids = nullptr;
        EXPECT_EQ(vk_getLtokenByUser(vka, std::string(c.name, 'n').c_str(), &ids), c.want)
            << c.name << " " << c.subtree;
        EXPECT_EQ(ids, nullptr);
    }
    vk_closeDsConnection(vka);
}

}  // namespace
