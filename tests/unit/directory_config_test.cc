// The administration configuration file, the password file, the checks of
// a handle and the opening paths that fail before a directory is reached.
#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "admin_internal.h"
#include "log_capture.h"
#include "scratch_dir.h"
#include "vkcxx.h"

namespace {

using vktest::clear_log;
using vktest::logged;

std::string show(const char *s) {
    return s ? s : "(null)";
}

struct VkaFree {
    void operator()(VKAdminStruct *v) const { free_vka(v); }
};
using Handle = std::unique_ptr<VKAdminStruct, VkaFree>;

struct ConfigCase {
    const char *text;
    const char *server, *subtree, *user;
    int port, authmech, timeout;
};

TEST(Config, LinesKeysAndValues) {
    const std::string piece(497, 'x');  // "admin.subtree=" + 497 = 511 characters
    const std::string long_line = "admin.subtree=" + piece + "admin.server.name=tail\n";
    const ConfigCase cases[] = {
        {"admin.subtree = o=v1data\n", "(null)", "o=v1data", "(null)", 0, 1, 10},
        {"admin.user.name=cn=admin,o=v1data\n", "(null)", "(null)", "cn=admin,o=v1data", 0, 1, 10},
        {"\t admin.server.name \t=\t h1 \t\n", "h1", "(null)", "(null)", 0, 1, 10},
        // "#" makes a comment only in the first column.
        {"#admin.server.name=c\n  #admin.server.name=d\n", "(null)", "(null)", "(null)", 0, 1, 10},
        // A carriage return is part of the value: the port is not numeric.
        {"admin.server.port=389\r\nadmin.server.name=h\r\n", "h\r", "(null)", "(null)", 0, 1, 10},
        {"admin.server.port=389\nadmin.server.port=636\n", "(null)", "(null)", "(null)", 636, 1,
         10},
        {"admin.server.port=-5\nadmin.server.port=+5\nadmin.server.port=5a\n", "(null)", "(null)",
         "(null)", 0, 1, 10},
        {"admin.server.port=99999999999999999999\n", "(null)", "(null)", "(null)", INT_MAX, 1, 10},
        {"Admin.server.name=x\nnoequals\n=v\nadmin.server.name=\nadmin.server.name  \n", "(null)",
         "(null)", "(null)", 0, 1, 10},
        {"admin.server.authmech=SIMPLE\n", "(null)", "(null)", "(null)", 0, 0, 10},
        {"admin.server.authmech=SIMPLE\nadmin.server.authmech=cram_md5\n", "(null)", "(null)",
         "(null)", 0, 0, 10},
        {"admin.server.authmech=SIMPLE\nadmin.server.authmech=CRAM_MD5\n", "(null)", "(null)",
         "(null)", 0, 1, 10},
        {"admin.server.timeout=0\n", "(null)", "(null)", "(null)", 0, 1, 0},
        {"admin.server.timeout=-5\nadmin.server.timeout=3s\n", "(null)", "(null)", "(null)", 0, 1,
         10},
        // A line longer than 511 characters is read in pieces; the rest is
        // a line of its own.
        {long_line.c_str(), "tail", piece.c_str(), "(null)", 0, 1, 10},
        {"", "(null)", "(null)", "(null)", 0, 1, 10},
    };
    vktest::Scratch dir;
    set_suppress_output(1);
    for (const ConfigCase &c : cases) {
        DStimeout = 10;
        Handle vka(allocate_vka());
        ASSERT_EQ(read_config_file(vka.get(), dir.file("conf", c.text).c_str()), 0) << c.text;
        EXPECT_EQ(show(vka->server_name), c.server) << c.text;
        EXPECT_EQ(show(vka->subtree), c.subtree) << c.text;
        EXPECT_EQ(show(vka->user_name), c.user) << c.text;
        EXPECT_EQ(vka->server_port, c.port) << c.text;
        EXPECT_EQ(vka->authmech, c.authmech) << c.text;
        EXPECT_EQ(DStimeout, c.timeout) << c.text;
    }
    set_suppress_output(0);
    DStimeout = 10;
}

TEST(Config, DebugCategoriesAreOnFromTheirLineOnward) {
    vktest::Scratch dir;
    clear_log();
    Handle vka(allocate_vka());
    read_config_file(vka.get(), dir.file("conf",
                                         "admin.server.authmech=x\nadmin.debug=d\n"
                                         "admin.server.authmech=bogus\n")
                                    .c_str());
    EXPECT_EQ(gdebug("d"), 1);
    EXPECT_EQ(gdebug("a"), 0);
    set_gdebug(nullptr);
    const std::vector<std::string> want = {
        "DSauth=x",
        "DSauth ret=-1",
        "invalid authentication mechanism specified in /etc/opt/KELWvk/vkadmin.conf",
        " \n",
        "running with debug options |d|\n",
        "DSauth=bogus",
        "DSauth ret=-1",
        "invalid authentication mechanism specified in /etc/opt/KELWvk/vkadmin.conf"};
    EXPECT_EQ(logged(), want);
}

TEST(Config, MissingFile) {
    vktest::Scratch dir;
    clear_log();
    Handle vka(allocate_vka());
    std::string missing = dir.path("none");
    EXPECT_EQ(read_config_file(vka.get(), missing.c_str()), VK_ERR_NO_FILE);
    EXPECT_EQ(logged(), std::vector<std::string>{"read_config_file(): Could not open config "
                                                 "file (" +
                                                 missing + "), error 2\n"});
}

TEST(Config, CompletenessByMode) {
    const char *all =
        "admin.server.name=h\nadmin.server.port=389\nadmin.subtree=o=x\n"
        "admin.dstatus.dbfile=/d\nadmin.ustatus.dbfile=/u\n";
    vktest::Scratch dir;
    struct {
        std::string text;
        int mode, want;
        const char *diag;
    } cases[] = {
        {all, 1, 0, nullptr},
        {all, 2, -1, "check_vka(): vka - user fields are not filled.\n"},
        {all, 4, -1, "check_vka(): vka - user fields are not filled.\n"},
        {std::string(all) + "admin.user.name=cn=a\n", 3, 0, nullptr},
        {std::string(all) + "admin.server.port=0\n", 1, -1,
         "check_vka(): vka - important fields are not filled.\n"},
        {"", 1, -1, "check_vka(): vka - important fields are not filled.\n"},
    };
    for (auto &c : cases) {
        Handle vka(allocate_vka());
        vka->mode = c.mode;
        read_config_file(vka.get(), dir.file("conf", c.text).c_str());
        clear_log();
        EXPECT_EQ(check_vka(vka.get()), c.want) << c.text << " mode " << c.mode;
        EXPECT_EQ(logged(), c.diag ? std::vector<std::string>{c.diag} : std::vector<std::string>{})
            << c.text;
    }
}

TEST(Config, NulBytesEndALineAndTheLastLineNeedsNoNewline) {
    vktest::Scratch dir;
    using namespace std::string_literals;
    const std::string text =
        "admin.server.name=h1\0admin.subtree=x\nadmin.subtree=o=\xff\x01v\nadmin.server.port=389"s;
    Handle vka(allocate_vka());
    ASSERT_EQ(read_config_file(vka.get(), dir.file("conf", text).c_str()), 0);
    EXPECT_EQ(show(vka->server_name), "h1");
    EXPECT_EQ(show(vka->subtree), "o=\xff\x01v");
    EXPECT_EQ(vka->server_port, 389);
}

TEST(Scramble, IsRot13AndItsOwnInverse) {
    const char *cases[][2] = {
        {"abc", "nop"}, {"Az-09", "Nm-09"}, {"", ""}, {"\xc3\xa9 z", "\xc3\xa9 m"}};
    for (auto &c : cases) {
        vk::CStr once(scramble_text(c[0]));
        ASSERT_TRUE(once);
        EXPECT_STREQ(once.get(), c[1]);
        vk::CStr twice(scramble_text(once.get()));
        EXPECT_STREQ(twice.get(), c[0]);
    }
    std::string every;
    for (int b = 1; b < 256; ++b) every += static_cast<char>(b);
    vk::CStr once(scramble_text(every.c_str()));
    vk::CStr twice(scramble_text(once.get()));
    EXPECT_EQ(twice.get(), every);
    EXPECT_EQ(scramble_text(nullptr), nullptr);
}

TEST(PasswordFile, FirstLineUnscrambled) {
    vktest::Scratch dir;
    struct {
        std::string text, want;
        int code;
    } cases[] = {
        {"  nqzvacj \t\nfrpbaq\n", "adminpw", 0},
        {"nqzvacj\r\n", "adminpw\r", 0},
        {"  \t\n", "(null)", -1},
        {"", "(null)", -1},
        {std::string(600, 'n') + "\n", std::string(511, 'a'), 0},  // a 512-byte buffer
        {std::string("  frperg\0x \n", 12), "secret", 0},          // a NUL byte ends it
        {"frperg", "secret", 0},                                   // no newline
    };
    for (auto &c : cases) {
        int code = 99;
        vk::CStr pw(read_passwd_file(dir.file("pw", c.text).c_str(), &code));
        EXPECT_EQ(show(pw.get()), c.want) << c.text;
        EXPECT_EQ(code, c.code) << c.text;
    }
    int code = 0;
    EXPECT_EQ(read_passwd_file(dir.path("none").c_str(), &code), nullptr);
    EXPECT_EQ(code, VK_ERR_NO_FILE);
}

// Opening fails before any directory is involved, and says why in its code;
// the partly built handle is released on every path (the sanitizer build
// checks for leaks).
TEST(Open, FailuresBeforeTheDirectory) {
    vktest::Scratch dir;
    const std::string base =
        "admin.server.name=127.0.0.1\nadmin.server.port=1\n"
        "admin.subtree=o=x\nadmin.dstatus.dbfile=" +
        dir.path("d") + "\nadmin.ustatus.dbfile=" + dir.path("u") + "\n";
    struct {
        std::string conf;
        int mode;
        const char *passwd;
        int want;
    } cases[] = {
        {"", 1, nullptr, VK_ERR_NO_FILE},  // no configuration file at all
        {"admin.server.name=h\n", 1, nullptr, VK_ERR_INTERNAL},
        {base, 2, "pw", VK_ERR_INTERNAL},  // no admin.user.name
        // CRAM-MD5 without a password fails before a connection is tried
        // (the server's port is closed: trying would give -1).
        {base + "admin.user.name=cn=a\n", 2, nullptr, VK_ERR_AUTH_FAILED},
        {base + "admin.user.name=cn=a\nadmin.server.authmech=SIMPLE\n", 2, "pw", VK_ERR_INTERNAL},
        {base, 1, nullptr, VK_ERR_INTERNAL},  // anonymous, server down
    };
    set_suppress_output(1);
    for (auto &c : cases) {
        std::string conf = c.conf.empty() ? dir.path("missing") : dir.file("conf", c.conf);
        VKAdmin vka = reinterpret_cast<VKAdmin>(0x1);
        EXPECT_EQ(vk_openDsConnection(c.mode, nullptr, c.passwd, conf.c_str(), nullptr, &vka),
                  c.want)
            << c.conf << " mode " << c.mode;
        EXPECT_EQ(vka, nullptr);
        int rc = 0;
        EXPECT_EQ(open_connection(c.mode, nullptr, c.passwd, conf.c_str(), &rc), nullptr);
        EXPECT_EQ(rc, -1);
    }
    set_suppress_output(0);
    EXPECT_EQ(close_connection(nullptr), 0);
}

}  // namespace
