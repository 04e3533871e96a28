// Lists built in one pass must come out exactly as if every node had been
// linked on its own: same order, and among equal keys the same tie order
// (the newest first). Also the process table's look-up by pid beside its
// list, and set_unix's join of session proc files to the display index.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pipe_readers.h"
#include "user_session_internal.h"

namespace {

int *payload(int v) {
    int *p = static_cast<int *>(std::malloc(sizeof(int)));
    *p = v;
    return p;
}

std::string dump(const vk_LinkedList_t *l) {
    std::string s;
    for (; l; l = l->next) s += std::string(l->key) + ":" + std::to_string(*(int *)l->node) + " ";
    return s;
}

vk_LinkedList_t *chain_of(const std::vector<std::string> &keys, int first) {
    vk_LinkedList_t *head = nullptr, **tail = &head;
    for (const std::string &k : keys) {
        vk_LinkedList_t *n = vk_allocLinkedListNode();
        n->key = strdup(k.c_str());
        n->node = payload(first++);
        *tail = n;
        tail = &n->next;
    }
    return head;
}

// Random keys from a small alphabet, so that equal keys and keys that are
// prefixes of others ("1" < "10" < "9") are common.
std::vector<std::string> random_keys(std::mt19937 &rng, int n) {
    static const char *alphabet[] = {"", "1", "10", "9", "a", "a", "ab", "b", "B", "z"};
    std::uniform_int_distribution<int> pick(0, 9), len(1, 2);
    std::vector<std::string> keys;
    for (int i = 0; i < n; ++i) {
        std::string k;
        for (int j = len(rng); j > 0; --j) k += alphabet[pick(rng)];
        keys.push_back(k);
    }
    return keys;
}

TEST(SortedBuild, LinksLikeOneInsertionAfterTheOther) {
    std::mt19937 rng(20240611);
    for (int order : {VK_LIST_ASCENDING, VK_LIST_DESCENDING}) {
        for (int round = 0; round < 200; ++round) {
            auto before = random_keys(rng, round % 7);
            auto batch = random_keys(rng, round % 23);
            vk_LinkedList_t *one_by_one = nullptr, *merged = nullptr;
            int i = 0;
            for (const std::string &k : before) {
                ASSERT_EQ(vk_addNode2List(&one_by_one, strdup(k.c_str()), payload(i), order), 0);
                ASSERT_EQ(vk_addNode2List(&merged, strdup(k.c_str()), payload(i), order), 0);
                ++i;
            }
            for (const std::string &k : batch)
                ASSERT_EQ(vk_addNode2List(&one_by_one, strdup(k.c_str()), payload(i++), order), 0);
            ASSERT_EQ(
                vk_addNodes2List(&merged, chain_of(batch, static_cast<int>(before.size())), order),
                0);
            ASSERT_EQ(dump(merged), dump(one_by_one)) << "order " << order << " round " << round;
            vk_freeLinkedList(one_by_one, std::free);
            vk_freeLinkedList(merged, std::free);
        }
    }
}

TEST(SortedBuild, EqualKeysNewestFirstAndBeforeTheListedOnes) {
    vk_LinkedList_t *l = nullptr;
    ASSERT_EQ(vk_addNode2List(&l, strdup("b"), payload(0), VK_LIST_ASCENDING), 0);
    ASSERT_EQ(vk_addNodes2List(&l, chain_of({"b", "a", "b", "c", "b"}, 1), VK_LIST_ASCENDING), 0);
    EXPECT_EQ(dump(l), "a:2 b:5 b:3 b:1 b:0 c:4 ");
    vk_freeLinkedList(l, std::free);
}

TEST(SortedBuild, RefusesWithoutTouchingListOrChain) {
    vk_LinkedList_t *l = chain_of({"m"}, 0);
    vk_LinkedList_t *chain = chain_of({"a", "b"}, 1);
    EXPECT_EQ(vk_addNodes2List(&l, chain, 2), VK_ERR_INVALID_ARGS);
    EXPECT_EQ(vk_addNodes2List(nullptr, chain, VK_LIST_ASCENDING), VK_ERR_INVALID_ARGS);
    std::free(chain->next->node);
    chain->next->node = nullptr;  // a node without payload spoils the whole chain
    EXPECT_EQ(vk_addNodes2List(&l, chain, VK_LIST_ASCENDING), VK_ERR_INVALID_ARGS);
    EXPECT_EQ(dump(l), "m:0 ");
    EXPECT_STREQ(chain->key, "a");
    EXPECT_STREQ(chain->next->key, "b");
    EXPECT_EQ(chain->next->next, nullptr);
    EXPECT_EQ(vk_addNodes2List(&l, nullptr, VK_LIST_ASCENDING), 0);  // nothing to link
    EXPECT_EQ(dump(l), "m:0 ");
    vk_freeLinkedList(chain, std::free);
    vk_freeLinkedList(l, std::free);
}

vk_UserSession_t *session(const char *token, const char *disp, const char *tag) {
    vk_UserSession_t *s = allocate_userSession();
    s->tokenName = safe_strdup(token);
    s->dispNo = safe_strdup(disp);
    s->rawtoken = safe_strdup(tag);
    return s;
}

std::string tags(const vk_LinkedList_t *l) {
    std::string r;
    for (; l; l = l->next)
        r += std::string(l->key) + "/" + static_cast<vk_UserSession_t *>(l->node)->rawtoken + " ";
    return r;
}

class SessionBatch : public testing::Test {
  protected:
    void SetUp() override { vk_endUserSessionEnt(); }
    void TearDown() override {
        vk_endUserSessionEnt();
        free_cache(&tmpList);
    }
};

TEST_F(SessionBatch, SameListIndexAndCursorAsInsertingEachRecord) {
    const char *rec[][3] = {{"b", "3", "r0"}, {"a", "12", "r1"}, {"b", "2", "r2"},
                            {"c", "1", "r3"}, {"b", "2", "r4"},  {"a", "9", "r5"}};
    for (auto &r : rec) ASSERT_EQ(insert_cache(session(r[0], r[1], r[2]), &tmpList), VK_OK);
    const std::string list = tags(tmpList), index = tags(xidList);
    free_cache(&tmpList);

    std::vector<vk_UserSession_t *> batch;
    for (auto &r : rec) batch.push_back(session(r[0], r[1], r[2]));
    ASSERT_EQ(insert_cache_all(batch, &cacheList), VK_OK);
    EXPECT_TRUE(batch.empty());
    EXPECT_EQ(tags(cacheList), list);
    EXPECT_EQ(tags(cacheList), "a/r5 a/r1 b/r4 b/r2 b/r0 c/r3 ");
    EXPECT_EQ(tags(xidList), index);
    EXPECT_EQ(tags(xidList), "1/r3 12/r1 2/r4 2/r2 3/r0 9/r5 ");
    vk_UserSession_t *s = nullptr;
    ASSERT_EQ(vk_getUserSessionEnt(&s), VK_OK);  // the cursor is at the head
    EXPECT_STREQ(s->rawtoken, "r5");
    vk_freeUserSessionEnt(s);
}

TEST_F(SessionBatch, FailureDiscardsTheListAndEveryRecord) {
    ASSERT_EQ(insert_cache(session("a", "1", "a"), &cacheList), VK_OK);
    std::vector<vk_UserSession_t *> batch = {session("b", "2", "b"), session("c", "3", "c")};
    std::free(std::exchange(batch[1]->dispNo, nullptr));
    EXPECT_EQ(insert_cache_all(batch, &cacheList), VK_ERR_INVALID_ARGS);
    EXPECT_TRUE(batch.empty());  // released: the leak checker sees any left behind
    EXPECT_EQ(cacheList, nullptr);
    EXPECT_EQ(xidList, nullptr);
    vk_UserSession_t *s = nullptr;
    EXPECT_EQ(vk_getUserSessionEnt(&s), VK_ERR_CALL_SEQUENCE);
}

// Loads the process table cache from `ps`-like text.
int load(const std::string &text) {
    std::FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    int rc = load_processState(f);
    std::fclose(f);
    return rc;
}

struct Answer {
    int rc, state;
    std::string uid, comm, pid;
};
Answer ask(const char *pid) {
    char *uid = nullptr, *comm = nullptr, *p = nullptr;
    Answer a{};
    a.rc = get_processState(pid, &uid, &a.state, &comm, &p);
    a.uid = uid ? uid : "-";
    a.comm = comm ? comm : "-";
    a.pid = p ? p : "-";
    for (char *t : {uid, comm, p}) std::free(t);
    return a;
}

TEST(ProcessTableCache, LooksUpByExactTextAndTheNewestOfEqualIds) {
    ASSERT_EQ(load("  PID S   UID COMMAND\n"
                   "   10 S     0 init\n"
                   "    9 T  1001 xclock\n"
                   "   10 T  1002 again\n"  // an id twice: the later line wins, as in the list
                   "bad\n"
                   "  010 S     0 zero\n"),
              VK_OK);
    Answer a = ask("10");
    EXPECT_EQ(a.rc, VK_OK);
    EXPECT_EQ(a.comm, "again");
    EXPECT_EQ(a.state, VK_PROC_STOPPED);
    a = ask("9");
    EXPECT_EQ(a.uid + " " + a.comm + " " + a.pid, "1001 xclock 9");
    EXPECT_EQ(a.state, VK_PROC_STOPPED);
    EXPECT_EQ(ask("010").comm, "zero");  // compared as text, not as numbers
    EXPECT_EQ(ask("PID").comm, "COMMAND");
    EXPECT_EQ(ask("11").rc, VK_ERR_NOT_FOUND);
    EXPECT_EQ(ask("bad").rc, VK_ERR_NOT_FOUND);

    // A second load replaces the first.
    ASSERT_EQ(load("5 S 0 five\n"), VK_OK);
    EXPECT_EQ(ask("10").rc, VK_ERR_NOT_FOUND);
    EXPECT_EQ(ask("5").comm, "five");
    reset_processState();
    EXPECT_EQ(ask("abc").rc, VK_ERR_NOT_FOUND);  // no cache: not a number, nothing run
}

vk_SessionProc_t *proc(const char *xid, const char *uid, const char *pid) {
    vk_SessionProc_t *sp = allocate_sessionProc();
    sp->xid = safe_strdup(xid);
    sp->uid = safe_strdup(uid);
    sp->pid = safe_strdup(pid);
    return sp;
}

void free_proc(void *p) {
    free_sessionProc(static_cast<vk_SessionProc_t *>(p));
}

TEST_F(SessionBatch, JoinGivesUsersAndStoppedStateByDisplay) {
    std::vector<vk_UserSession_t *> batch = {session("t1", "1", "a"), session("t2", "10", "b"),
                                             session("t3", "2", "c"), session("t4", "7", "d")};
    ASSERT_EQ(insert_cache_all(batch, &cacheList), VK_OK);
    vk_LinkedList_t *procs = nullptr;
    // Display 10 sorts before 2; display 5 has no session, display 7 no file.
    for (auto [x, u, p] : {std::tuple{"1", "alice", "100"},
                           {"10", "bob", "101"},
                           {"2", "carol", "102"},
                           {"5", "dave", "103"}})
        ASSERT_EQ(vk_addNode2List(&procs, strdup(x), proc(x, u, p), VK_LIST_ASCENDING), 0);
    ASSERT_EQ(load("100 S 0 a\n101 T 0 b\n"), VK_OK);
    join_session_procs(xidList, procs);
    reset_processState();

    std::string got;
    for (vk_LinkedList_t *n = cacheList; n; n = n->next) {
        auto *s = static_cast<vk_UserSession_t *>(n->node);
        got += std::string(s->dispNo) + "=" + (s->unixID ? s->unixID : "-") + "/" +
               std::to_string(s->state) + " ";
    }
    EXPECT_EQ(got, "1=alice/1 10=bob/5 2=carol/1 7=-/1 ");
    vk_freeLinkedList(procs, free_proc);
}

std::string record_line(const char *raw, const char *token, const char *disp) {
    return std::string("INSERT_TOKEN=") + raw + ";TOKEN=" + token +
           ";uid=NULL;STATE=1;DISPLAY=" + disp +
           ";SERVER=far;SESSION_TYPE=default;encryptUpType=NULL;encryptDownType=NULL;"
           "authenticateUpType=NULL;authenticateDownType=NULL;securityMode=NULL;"
           "TermPrimary=NULL;TermList=NULL;MultiheadGroupName=NULL\n";
}

int read_reply(const std::string &text) {
    std::FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    int rc = read_search_reply(f, "far", &cacheList, nullptr);
    std::fclose(f);
    return rc;
}

TEST_F(SessionBatch, RemoteRecordsInTokenOrderNewestFirstAmongEqual) {
    ASSERT_EQ(read_reply(record_line("r0", "b", "1") + record_line("r1", "a", "2") +
                         record_line("r2", "b", "3") + record_line("r3", "c", "4")),
              VK_OK);
    EXPECT_EQ(tags(cacheList), "a/r1 b/r2 b/r0 c/r3 ");
    vk_UserSession_t *s = nullptr;
    ASSERT_EQ(vk_getUserSessionEnt(&s), VK_OK);
    EXPECT_STREQ(s->rawtoken, "r1");
    vk_freeUserSessionEnt(s);

    // A record without a display after good ones: nothing of the reply stays.
    EXPECT_EQ(read_reply(record_line("r4", "d", "5") + "INSERT_TOKEN=x;TOKEN=e\n" +
                         record_line("r5", "f", "6")),
              VK_ERR_INVALID_ARGS);
    EXPECT_EQ(cacheList, nullptr);
}

}  // namespace
