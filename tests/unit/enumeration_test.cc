// The enumeration's list, display index and cursor, built here with
// insert_cache and insert_cache_all so that no session file of the host is
// read; set_unix's join of session proc files to the display index; the
// records' packed texts; and the record line that carries a session
// between servers.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "user_session_internal.h"

namespace {

vk_UserSession_t *make(const char *token, const char *disp, const char *tag) {
    vk_UserSession_t *s = allocate_userSession();
    s->tokenName = safe_strdup(token);
    s->dispNo = safe_strdup(disp);
    s->rawtoken = safe_strdup(tag);
    return s;
}

std::string keys(const std::vector<vk_UserSession_t *> &index) {
    std::string r;
    for (const vk_UserSession_t *s : index) r += std::string(s->dispNo) + "/" + s->rawtoken + " ";
    return r;
}

std::string keys(const vk_LinkedList_t *l) {
    std::string r;
    for (; l; l = l->next)
        r += std::string(l->key) + "/" + ((vk_UserSession_t *)l->node)->rawtoken + " ";
    return r;
}

class Enumeration : public testing::Test {
  protected:
    void SetUp() override { vk_endUserSessionEnt(); }
    void TearDown() override {
        vk_endUserSessionEnt();
        free_cache(&tmpList);
    }

    // One vk_getUserSessionEnt; the raw token of a record handed out is noted in `seen`.
    int get() {
        vk_UserSession_t *s = nullptr;
        int rc = vk_getUserSessionEnt(&s);
        if (s) seen += std::string(s->rawtoken) + " ";
        vk_freeUserSessionEnt(s);
        return rc;
    }
    std::string seen;
};

const char *kRecords[][3] = {{"b", "3", "r0"}, {"a", "12", "r1"}, {"b", "2", "r2"},
                             {"c", "1", "r3"}, {"b", "2", "r4"},  {"a", "9", "r5"}};

TEST_F(Enumeration, BatchGivesTheListIndexAndCursorOfOneByOneInsertion) {
    EXPECT_EQ(get(), VK_ERR_CALL_SEQUENCE);
    for (auto &r : kRecords) ASSERT_EQ(insert_cache(make(r[0], r[1], r[2]), &tmpList), VK_OK);
    const std::string list = keys(tmpList), index = keys(display_order());
    EXPECT_EQ(list, "a/r5 a/r1 b/r4 b/r2 b/r0 c/r3 ");
    // The display index is in byte order of the display number.
    EXPECT_EQ(index, "1/r3 12/r1 2/r4 2/r2 3/r0 9/r5 ");
    free_cache(&tmpList);

    std::vector<vk_UserSession_t *> batch;
    for (auto &r : kRecords) batch.push_back(make(r[0], r[1], r[2]));
    ASSERT_EQ(insert_cache_all(batch, &cacheList), VK_OK);
    EXPECT_TRUE(batch.empty());
    EXPECT_EQ(keys(cacheList), list);
    EXPECT_EQ(keys(display_order()), index);
    // The cursor follows the head, then there is no more data until the
    // end. A record handed out stays the caller's after the end (a use
    // after free or a double free shows under the sanitizers); those not
    // handed out go with it (the leak checker sees the other tests' ends).
    vk_UserSession_t *first = nullptr;
    ASSERT_EQ(vk_getUserSessionEnt(&first), VK_OK);
    while (get() == VK_OK) {
    }
    EXPECT_EQ(std::string(first->rawtoken) + " " + seen, "r5 r1 r4 r2 r0 r3 ");
    EXPECT_EQ(get(), VK_ERR_NO_MORE_DATA);
    vk_endUserSessionEnt();
    EXPECT_EQ(get(), VK_ERR_CALL_SEQUENCE);
    EXPECT_STREQ(first->tokenName, "a");
    vk_freeUserSessionEnt(first);
}

// A record without a token or a display spoils the whole enumeration: the
// list, the index and every record go (the leak checker sees any left).
TEST_F(Enumeration, FailedInsertDiscardsTheListAndEveryRecord) {
    for (auto missing : {&vk_UserSession_t::tokenName, &vk_UserSession_t::dispNo}) {
        for (bool batch : {false, true}) {
            ASSERT_EQ(insert_cache(make("a", "1", "a"), &cacheList), VK_OK);
            std::vector<vk_UserSession_t *> bad = {make("b", "2", "b"), make("c", "3", "c")};
            std::free(std::exchange(bad[1]->*missing, nullptr));
            if (batch) {
                EXPECT_EQ(insert_cache_all(bad, &cacheList), VK_ERR_INVALID_ARGS);
                EXPECT_TRUE(bad.empty());
            } else {
                ASSERT_EQ(insert_cache(bad[0], &cacheList), VK_OK);
                EXPECT_LT(insert_cache(bad[1], &cacheList), 0);
            }
            EXPECT_EQ(cacheList, nullptr);
            EXPECT_TRUE(displayIndex.empty());
            EXPECT_EQ(get(), VK_ERR_CALL_SEQUENCE);
        }
    }
}

TEST_F(Enumeration, JoinGivesUsersAndStoppedStateByDisplay) {
    // Display 2 has two sessions and display 10 two files: the file read
    // last goes to the session listed first.
    std::vector<vk_UserSession_t *> batch = {make("t1", "1", "a"), make("t2", "10", "b"),
                                             make("t3", "2", "c"), make("t4", "7", "d"),
                                             make("t5", "2", "e")};
    ASSERT_EQ(insert_cache_all(batch, &cacheList), VK_OK);
    // Display 10 sorts before 2; display 5 has no session, display 7 no file.
    const char *files[][3] = {{"2", "carol", "102"}, {"10", "old", "104"}, {"1", "alice", "100"},
                              {"10", "bob", "101"},  {"5", "dave", "103"}, {"2", "erin", "100"}};
    // Each file's time as it was examined; erin's file was read without.
    const int64_t started[] = {1000, 1001, 1002, 1003, 1004, -1};
    std::deque<LiveProc> procs;
    for (size_t i = 0; i < std::size(files); ++i)
        procs.push_back({files[i][0], vk::dup(files[i][1]), std::atoi(files[i][2]), started[i]});
    note_session_start(nullptr, 0);
    std::string ps = "100 S 0 a\n101 T 0 b\n";
    std::FILE *f = fmemopen(ps.data(), ps.size(), "r");
    ASSERT_EQ(load_processState(f), VK_OK);
    std::fclose(f);
    join_session_procs(display_order(), procs);
    reset_processState();

    std::string got;
    for (vk_LinkedList_t *n = cacheList; n; n = n->next) {
        auto *s = static_cast<vk_UserSession_t *>(n->node);
        int64_t when = 0;
        got += std::string(s->rawtoken) + "=" + (s->unixID ? s->unixID : "-") + "/" +
               std::to_string(s->state) + "@" +
               (_vk_getSessionStart(s, &when) == VK_OK ? std::to_string(when) : "-") + " ";
    }
    EXPECT_EQ(got, "a=alice/1@1002 b=bob/5@1003 c=carol/1@1000 d=-/1@- e=erin/1@- ");
}

// A listing's records keep their texts in one block; replacing a text and
// freeing the record must free each allocation once (the sanitizers see a
// double free or a leak), and equal security values share one copy.
TEST_F(Enumeration, PackedRecordsFreeEachTextOnce) {
    vk_packUserSessionTexts(0);
    vk_UserSession_t *plain = make("tok", "7", "raw");
    EXPECT_FALSE(pack_session_texts(plain));  // only when asked for
    vk_freeUserSessionEnt(plain);

    vk_packUserSessionTexts(1);
    vk_UserSession_t *s = make("tok", "7", "tok");
    s->enc_up = safe_strdup("none");
    s->auth_up = safe_strdup("none");
    s->mode = safe_strdup("hard");
    ASSERT_TRUE(pack_session_texts(s));
    EXPECT_STREQ(s->rawtoken, s->tokenName);
    EXPECT_EQ(s->auth_up, s->enc_up);
    EXPECT_STREQ(s->mode, "hard");
    EXPECT_EQ(s->unixID, nullptr);
    // A text replaced after packing is the record's own, and freed as such.
    replace_session_text(s, &vk_UserSession_t::unixID, safe_strdup("alice"));
    replace_session_text(s, &vk_UserSession_t::mode, safe_strdup("soft"));
    replace_session_text(s, &vk_UserSession_t::enc_up, nullptr);
    ASSERT_TRUE(pack_session_texts(s));  // and packed again
    EXPECT_STREQ(s->unixID, "alice");
    EXPECT_STREQ(s->mode, "soft");
    EXPECT_EQ(s->enc_up, nullptr);
    EXPECT_STREQ(s->auth_up, "none");
    replace_session_text(s, &vk_UserSession_t::dispNo, safe_strdup("8"));
    vk_freeUserSessionEnt(s);
    vk_packUserSessionTexts(0);
}

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
