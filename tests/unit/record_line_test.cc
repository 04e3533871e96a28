// The record line that carries a session between servers.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "vkadmin.h"

namespace {

using Text = char *vk_UserSession_t::*;
const struct {
    const char *name;
    Text field;
} kFields[] = {
    {"rawtoken", &vk_UserSession_t::rawtoken}, {"tokenName", &vk_UserSession_t::tokenName},
    {"unixID", &vk_UserSession_t::unixID},     {"dispNo", &vk_UserSession_t::dispNo},
    {"server", &vk_UserSession_t::server},     {"sessionType", &vk_UserSession_t::sessionType},
    {"enc_up", &vk_UserSession_t::enc_up},     {"enc_down", &vk_UserSession_t::enc_down},
    {"auth_up", &vk_UserSession_t::auth_up},   {"auth_down", &vk_UserSession_t::auth_down},
    {"mode", &vk_UserSession_t::mode},         {"termPrimary", &vk_UserSession_t::termPrimary},
    {"termList", &vk_UserSession_t::termList}, {"mhGroupName", &vk_UserSession_t::mhGroupName},
};

// "state=N" and "field=value" for every present text field.
std::string describe(const vk_UserSession_t *s) {
    std::string r = "state=" + std::to_string(s->state);
    for (auto &f : kFields)
        if (s->*f.field) r += std::string(" ") + f.name + "=" + s->*f.field;
    return r;
}

// Parses `line` (a copy: the reader cuts it up) and describes the record.
std::string parse(std::string line) {
    vk_UserSession_t *s = nullptr;
    EXPECT_EQ(parse_vkrcmd(line.data(), &s), VK_OK);
    std::string r = s ? describe(s) : "none";
    vk_freeUserSessionEnt(s);
    return r;
}

// What the reader makes of a line from another server (a line written by
// vksession reads back whole: checked end to end).
TEST(RecordLine, ReaderTakesKnownFieldsOnly) {
    const char *cases[][2] = {
        {"", "state=1"},
        {"state=3;token=t", "state=1"},  // the names are case-sensitive
        {" TOKEN=t", "state=1"},
        {";;STATE=2;;TOKEN=t;", "state=2 tokenName=t"},
        {"TOKEN=a=b", "state=1 tokenName=a=b"},
        {"uid=", "state=1 unixID="},
        // A later field replaces an earlier one, NULL included.
        {"uid=x;uid=NULL", "state=1"},
        {"uid=NULL;uid=x", "state=1 unixID=x"},
        {"STATE=", "state=0"},
        {"STATE=7z", "state=7"},
        {"STATE=-99999999999999999999999", "state=-2147483648"},
        {"STATE=4294967301", "state=2147483647"},
    };
    for (auto &c : cases) EXPECT_EQ(parse(c[0]), c[1]) << c[0];
}

}  // namespace
