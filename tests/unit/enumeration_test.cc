// The session record and the enumeration's call sequence. The lists are built
// here with insert_cache, so no session file of the host is read.
#include <cstdlib>
#include <string>
#include <utility>

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

std::string keys(const vk_LinkedList_t *l) {
    std::string r;
    for (; l; l = l->next)
        r += std::string(l->key) + "/" + ((vk_UserSession_t *)l->node)->rawtoken + " ";
    return r;
}

class Enumeration : public testing::Test {
  protected:
    void SetUp() override { vk_endUserSessionEnt(); }
    void TearDown() override { vk_endUserSessionEnt(); }

    // Hands out every remaining record; their raw tokens, in order.
    std::string drain() {
        std::string r;
        vk_UserSession_t *s = nullptr;
        while (vk_getUserSessionEnt(&s) == VK_OK) {
            r += std::string(s->rawtoken) + " ";
            vk_freeUserSessionEnt(s);
        }
        return r;
    }
};

TEST(SessionRecord, StartsDisconnectedWithEveryFieldAbsent) {
    vk_UserSession_t *s = allocate_userSession();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->state, VK_SESSION_DISCONNECTED);
    for (char *t : {s->tokenName, s->rawtoken, s->unixID, s->dispNo, s->server, s->sessionType,
                    s->enc_up, s->enc_down, s->auth_up, s->auth_down, s->mode, s->termPrimary,
                    s->termList, s->mhGroupName})
        EXPECT_EQ(t, nullptr);
    vk_freeUserSessionEnt(s);
    vk_freeUserSessionEnt(nullptr);
}

TEST_F(Enumeration, GetWithoutAnOpenEnumerationIsACallSequenceError) {
    vk_UserSession_t *s = make("t", "1", "r");
    vk_UserSession_t *out = s;
    EXPECT_EQ(vk_getUserSessionEnt(&out), VK_ERR_CALL_SEQUENCE);
    EXPECT_EQ(out, s);
    vk_freeUserSessionEnt(s);
}

TEST_F(Enumeration, HandsOutRecordsInTokenOrderThenNoMoreData) {
    const char *rec[][3] = {
        {"b", "3", "r0"}, {"a", "12", "r1"}, {"b", "2", "r2"}, {"c", "1", "r3"}};
    for (auto &r : rec) ASSERT_EQ(insert_cache(make(r[0], r[1], r[2]), &cacheList), VK_OK);
    EXPECT_EQ(keys(cacheList), "a/r1 b/r2 b/r0 c/r3 ");
    // The display index is in byte order of the display number and shares the records.
    EXPECT_EQ(keys(xidList), "1/r3 12/r1 2/r2 3/r0 ");
    EXPECT_EQ(xidList->next->node, cacheList->node);

    // The cursor follows the head, not the first record inserted.
    EXPECT_EQ(drain(), "r1 r2 r0 r3 ");
    vk_UserSession_t *s = nullptr;
    EXPECT_EQ(vk_getUserSessionEnt(&s), VK_ERR_NO_MORE_DATA);
    EXPECT_EQ(vk_getUserSessionEnt(&s), VK_ERR_NO_MORE_DATA);
    EXPECT_EQ(s, nullptr);
    vk_endUserSessionEnt();
    EXPECT_EQ(vk_getUserSessionEnt(&s), VK_ERR_CALL_SEQUENCE);
}

TEST_F(Enumeration, EndFreesOnlyTheRecordsNotHandedOut) {
    for (const char *t : {"a", "b", "c"}) ASSERT_EQ(insert_cache(make(t, t, t), &cacheList), VK_OK);
    vk_UserSession_t *first = nullptr, *second = nullptr;
    ASSERT_EQ(vk_getUserSessionEnt(&first), VK_OK);
    ASSERT_EQ(vk_getUserSessionEnt(&second), VK_OK);
    vk_endUserSessionEnt();
    // Still the caller's: a use after free or double free shows under the sanitizers.
    EXPECT_STREQ(first->tokenName, "a");
    EXPECT_STREQ(second->tokenName, "b");
    vk_freeUserSessionEnt(first);
    vk_freeUserSessionEnt(second);
    vk_UserSession_t *s = nullptr;
    EXPECT_EQ(vk_getUserSessionEnt(&s), VK_ERR_CALL_SEQUENCE);
}

TEST_F(Enumeration, FailedInsertDiscardsTheListAndTheRecord) {
    for (auto missing : {&vk_UserSession_t::tokenName, &vk_UserSession_t::dispNo}) {
        ASSERT_EQ(insert_cache(make("a", "1", "a"), &cacheList), VK_OK);
        vk_UserSession_t *bad = make("b", "2", "b");
        std::free(std::exchange(bad->*missing, nullptr));
        EXPECT_LT(insert_cache(bad, &cacheList), 0);
        EXPECT_EQ(cacheList, nullptr);
        EXPECT_EQ(xidList, nullptr);
        vk_UserSession_t *s = nullptr;
        EXPECT_EQ(vk_getUserSessionEnt(&s), VK_ERR_CALL_SEQUENCE);
    }
}

// The search of another server runs the remote-command program at its fixed
// path; it is tested end to end inside sandboxed hosts (test_failover.py),
// with a stand-in for that program and with two hosts linked over ssh.

}  // namespace
