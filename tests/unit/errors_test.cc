// Result codes, their messages and the message catalogue.
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <iterator>
#include <libintl.h>
#include <string>

#include <gtest/gtest.h>

#include "vkerrno.h"

namespace {

TEST(Errors, EveryCodeHasItsEnglishMessage) {
    const char *undefined = "Undefined error code";
    const char *table[] = {"Success",
                           "Internal system error",
                           "No changes were made",
                           "Authentication failed",
                           "Object not found",
                           "No permission",
                           "Invalid arguments",
                           "Data already exists",
                           "Terminal already in use",
                           "Token not found",
                           "Not enough memory",
                           "Duplicate Terminal ID",
                           "Server unreachable",
                           "Failed to open socket",
                           "Socket write failed",
                           "Authentication Manager timeout",
                           "File access error",
                           "Invalid call sequence",
                           "No more data",
                           "File or directory does not exist",
                           "Unable to contact admin database",
                           undefined /* -21 */,
                           "Session detached",
                           "Not currently in a Parvix session",
                           "Operation timed out",
                           "Failed to contact the remote service",
                           "Configuration error",
                           "No buffer space available",
                           "Failed to open DBM files",
                           "Invalid referral from the primary DS server",
                           "Open failed",
                           "Message rejected",
                           "Connection disconnected",
                           "Data replication timed out"};
    for (int i = 0; i < static_cast<int>(std::size(table)); ++i)
        EXPECT_STREQ(vk_err2str(-i), table[i]) << -i;
    struct {
        int code;
        const char *msg;
    } outside[] = {{1, undefined},   {2, "Unknown system error"}, {3, undefined},
                   {-34, undefined}, {-1000, undefined},          {1 << 30, undefined}};
    for (auto &c : outside) EXPECT_STREQ(vk_err2str(c.code), c.msg) << c.code;
    EXPECT_STREQ(vk_errNotPrivileged(),
                 "Administrator privilege is required to perform this activity");
}

TEST(Errors, SystemAndDirectoryResultsMapToCodes) {
    struct {
        int in, dflt, out;
    } sys[] = {{0, -16, 0},       {ENOENT, -16, -19}, {ENOMEM, -16, -10},
               {EACCES, -16, -5}, {EEXIST, -16, -7},  {EINTR, -16, -16},
               {EPERM, -16, -16}, {EINTR, -99, -99},  {ENOTDIR, -1, -1}};
    for (auto &c : sys) EXPECT_EQ(vk_errno2vkerr(c.in, c.dflt), c.out) << c.in;
    struct {
        int in, out;
    } ds[] = {{0, 0}, {10, -29}, {50, -5}, {68, -7}, {32, -1}, {49, -1}, {-1, -1}};
    for (auto &c : ds) EXPECT_EQ(vk_dserr2vkerr(c.in), c.out) << c.in;
}

TEST(Errors, CatalogueIsBoundBeforeMain) {
    // A null directory asks for the current binding without changing it.
    EXPECT_STREQ(bindtextdomain(VK_TEXT_DOMAIN, nullptr), "/opt/KELWvk/lib/locale");
}

TEST(Errors, MessagesComeBackTranslated) {
    std::string bound = bindtextdomain(VK_TEXT_DOMAIN, nullptr);
    const char *lang = std::getenv("LANGUAGE");
    std::string saved_lang = lang ? lang : "";
    ASSERT_NE(bindtextdomain(VK_TEXT_DOMAIN, VK_BUILD_LOCALE_DIR), nullptr);
    setenv("LANGUAGE", "de", 1);
    ASSERT_NE(setlocale(LC_MESSAGES, "C.UTF-8"), nullptr);

    EXPECT_STREQ(vk_err2str(-4), "Objekt nicht gefunden");
    EXPECT_STREQ(vk_err2str(-21), "Undefinierter Fehlercode");
    EXPECT_STREQ(vk_err2str(2), "Unbekannter Systemfehler");

    setlocale(LC_MESSAGES, "C");  // the C locale ignores LANGUAGE
    EXPECT_STREQ(vk_err2str(-4), "Object not found");

    if (lang)
        setenv("LANGUAGE", saved_lang.c_str(), 1);
    else
        unsetenv("LANGUAGE");
    bindtextdomain(VK_TEXT_DOMAIN, bound.c_str());
}

}  // namespace
