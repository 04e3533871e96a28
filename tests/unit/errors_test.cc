// Result codes, their messages and the message catalogue.
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <libintl.h>
#include <string>

#include <gtest/gtest.h>

#include "vkerrno.h"

namespace {

// The edges of the message table: its ends, the hole at -21, and codes on
// either side that must not index past it.
TEST(Errors, MessagesAtTheEdgesOfTheTable) {
    const char *undefined = "Undefined error code";
    struct {
        int code;
        const char *msg;
    } cases[] = {{0, "Success"},
                 {-21, undefined},
                 {-22, "Session detached"},
                 {-33, "Data replication timed out"},
                 {-34, undefined},
                 {1, undefined},
                 {2, "Unknown system error"},
                 {INT_MIN, undefined},
                 {INT_MAX, undefined}};
    for (auto &c : cases) EXPECT_STREQ(vk_err2str(c.code), c.msg) << c.code;
    // Unknown system and directory results fall back to the caller's code.
    EXPECT_EQ(vk_errno2vkerr(EINTR, -99), -99);
    EXPECT_EQ(vk_errno2vkerr(0, -99), 0);
    EXPECT_EQ(vk_dserr2vkerr(-1), -1);
}

TEST(Errors, CatalogueIsBoundBeforeMainAndTranslates) {
    // A null directory asks for the current binding without changing it.
    std::string bound = bindtextdomain(VK_TEXT_DOMAIN, nullptr);
    EXPECT_EQ(bound, "/opt/KELWvk/lib/locale");
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
