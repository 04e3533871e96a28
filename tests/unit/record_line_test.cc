// The record line that carries a session between servers, and the token a
// report shows for a session.
#include <climits>
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

std::string print(const vk_UserSession_t *s) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    vk_printUserSessionEnt(f, s);
    std::fclose(f);
    std::string r(buf, len);
    std::free(buf);
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

TEST(RecordLine, AbsentFieldsAreWrittenAsNull) {
    vk_UserSession_t *s = allocate_userSession();
    s->state = 5;
    std::string line = print(s);
    EXPECT_EQ(line,
              "INSERT_TOKEN=NULL;TOKEN=NULL;uid=NULL;STATE=5;DISPLAY=NULL;SERVER=NULL;"
              "SESSION_TYPE=NULL;encryptUpType=NULL;encryptDownType=NULL;authenticateUpType=NULL;"
              "authenticateDownType=NULL;securityMode=NULL;TermPrimary=NULL;TermList=NULL;"
              "MultiheadGroupName=NULL\n");
    line.pop_back();
    vk_UserSession_t *back = nullptr;
    ASSERT_EQ(parse_vkrcmd(line.data(), &back), VK_OK);
    EXPECT_EQ(back->state, 5);
    EXPECT_EQ(back->unixID, nullptr);
    vk_freeUserSessionEnt(back);
    vk_freeUserSessionEnt(s);
    EXPECT_EQ(print(nullptr), "");
}

TEST(RecordLine, EveryFieldTravels) {
    vk_UserSession_t *s = allocate_userSession();
    s->state = 6;
    for (auto &f : kFields) s->*f.field = safe_strdup((std::string(f.name) + "=v,1").c_str());
    std::string expect = describe(s);
    std::string line = print(s);
    line.pop_back();
    EXPECT_EQ(parse(line), expect);
    vk_freeUserSessionEnt(s);
}

TEST(RecordLine, ValuesCannotForgeFieldsOrRecords) {
    vk_UserSession_t *s = allocate_userSession();
    s->enc_up = safe_strdup("AES;uid=root");
    s->mode = safe_strdup("hard\nINSERT_TOKEN=forged");
    std::string line = print(s);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    line.pop_back();
    EXPECT_EQ(parse(line), "state=1 enc_up=AES?uid=root mode=hard?INSERT_TOKEN=forged");
    vk_freeUserSessionEnt(s);
}

class RecordLineReader : public testing::TestWithParam<std::pair<const char *, const char *>> {};

TEST_P(RecordLineReader, TakesKnownFieldsOnly) {
    EXPECT_EQ(parse(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    RecordLine, RecordLineReader,
    testing::Values(std::pair{"", "state=1"}, std::pair{"STATE=3", "state=3"},
                    std::pair{"INSERT_TOKEN=r", "state=1 rawtoken=r"},
                    std::pair{"TOKEN=t;INSERT_TOKEN=r", "state=1 rawtoken=r tokenName=t"},
                    std::pair{"state=3;token=t", "state=1"},
                    std::pair{";;STATE=2;;TOKEN=t;", "state=2 tokenName=t"},
                    std::pair{"TermList=a,b", "state=1 termList=a,b"},
                    std::pair{"TOKEN=a=b", "state=1 tokenName=a=b"},
                    std::pair{"uid=NULL", "state=1"}, std::pair{"uid=", "state=1 unixID="},
                    std::pair{"uid=x;uid=NULL", "state=1"},
                    std::pair{"uid=NULL;uid=x", "state=1 unixID=x"},
                    std::pair{"TOKEN=a;TOKEN=b", "state=1 tokenName=b"},
                    std::pair{"MultiheadGroupName=g", "state=1 mhGroupName=g"},
                    std::pair{"TermPrimary=NULL;TermList=NULL;SERVER=NULL", "state=1"},
                    std::pair{" TOKEN=t", "state=1"}, std::pair{"STATE=", "state=0"},
                    std::pair{"STATE=x4", "state=0"}, std::pair{"STATE=-3", "state=-3"},
                    std::pair{"STATE=7z", "state=7"},
                    std::pair{"STATE=99999999999999999999999", "state=2147483647"},
                    std::pair{"STATE=-99999999999999999999999", "state=-2147483648"},
                    std::pair{"STATE=4294967301", "state=2147483647"}));

TEST(DisplayToken, ShowsServiceTokensByNameAndCardsByRawId) {
    EXPECT_STREQ(_vk_getDisplayToken(nullptr), "???");
    struct {
        const char *token, *raw;
        bool by_name;
    } cases[] = {{"auth.x", "r", true},      {"escape.1", "r", true}, {"mobile.", "r", true},
                 {"user.bob", "r", false},   {"Auth.x", "r", false},  {"auth", "r", false},
                 {"card.1", nullptr, false}, {nullptr, "r", false}};
    for (auto &c : cases) {
        vk_UserSession_t s{};
        s.tokenName = const_cast<char *>(c.token);
        s.rawtoken = const_cast<char *>(c.raw);
        EXPECT_EQ(_vk_getDisplayToken(&s), c.by_name ? c.token : c.raw)
            << (c.token ? c.token : "null");
    }
}

}  // namespace
