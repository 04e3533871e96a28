// The administration configuration file, the password file, the checks of
// a handle and the opening paths that fail before a directory is reached.
#include <string>

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

TEST(Config, LinesKeysAndValues) {
    const std::string piece(497, 'x');  // "admin.subtree=" + 497 = 511 characters
    const struct {
        std::string text, want;
    } cases[] = {
        {"\t admin.server.name \t=\t h1 \t\nadmin.user.name=cn=a,o=v\n", "h1 - cn=a,o=v 0 1 10"},
        // "#" makes a comment only in the first column.
        {"#admin.server.name=c\n  #admin.server.name=d\n", "- - - 0 1 10"},
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
    set_suppress_output(1);
    for (auto &c : cases) EXPECT_EQ(read_config(dir, c.text), c.want) << c.text;
    set_suppress_output(0);
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
}

}  // namespace
