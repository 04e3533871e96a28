// The keyed list every collection of the library is built on, and its
// batch build, which must link a chain exactly as if every node had been
// inserted on its own: same order, and among equal keys the same tie order
// (the newest first).
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "utils.h"
#include "vkerrno.h"

namespace {

int freed = 0;
void count_free(void *p) {
    ++freed;
    std::free(p);
}

int *payload(int v) {
    int *p = static_cast<int *>(std::malloc(sizeof(int)));
    *p = v;
    return p;
}

// Inserts `keys` in turn into `l`; each payload is its insertion position,
// counted from `first`.
vk_LinkedList_t *build(const std::vector<std::string> &keys, int order,
                       vk_LinkedList_t *l = nullptr, int first = 0) {
    for (const std::string &k : keys)
        EXPECT_EQ(vk_addNode2List(&l, strdup(k.c_str()), payload(first++), order), 0);
    return l;
}

// The same as an unlinked chain, for the batch build.
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

// "key:payload " for every node, in list order.
std::string dump(const vk_LinkedList_t *l) {
    std::string s;
    for (; l; l = l->next) s += std::string(l->key) + ":" + std::to_string(*(int *)l->node) + " ";
    return s;
}

// Byte order (so "10" before "9"), the newest first among equal keys: the
// rule the batch build is compared against. A search finds the newest of
// equal keys, and does not stop early as if the list were ascending.
TEST(Lists, ByteOrderNewestFirstAmongEqualKeysAndFound) {
    vk_LinkedList_t *up = build({"10", "9", "1", "9"}, VK_LIST_ASCENDING);
    vk_LinkedList_t *down = build({"a", "b", "a", "b", "c"}, VK_LIST_DESCENDING);
    EXPECT_EQ(dump(up), "1:2 10:0 9:3 9:1 ");
    EXPECT_EQ(dump(down), "c:4 b:3 b:1 a:2 a:0 ");
    void *out = nullptr;
    EXPECT_EQ(vk_findLinkedListNode(down, "x", &out), VK_ERR_NOT_FOUND);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(vk_findLinkedListNode(down, "a", &out), VK_OK);
    EXPECT_EQ(*static_cast<int *>(out), 2);
    freed = 0;
    vk_freeLinkedList(up, count_free);
    vk_freeLinkedList(down, count_free);
    EXPECT_EQ(freed, 9);

    // Without a callback the payloads stay: freeing these would crash
    // under the sanitizers.
    int a = 1, b = 2;
    vk_LinkedList_t *l = nullptr;
    ASSERT_EQ(vk_addNode2List(&l, strdup("a"), &a, 0), 0);
    ASSERT_EQ(vk_addNode2List(&l, strdup("b"), &b, 0), 0);
    vk_freeLinkedList(l, nullptr);
}

// A refused insertion or chain stays the caller's, whole: no key, payload
// or node of it may be linked or freed, and the list is not touched.
TEST(Lists, RefusedInsertionsLeaveListAndOwnershipAlone) {
    struct {
        bool key, payload;
        int order;
    } cases[] = {{true, true, 2}, {true, true, -1}, {false, true, 0}, {true, false, 1}};
    vk_LinkedList_t *l = build({"m"}, VK_LIST_ASCENDING);
    for (auto &c : cases) {
        char *key = c.key ? strdup("a") : nullptr;
        int *p = c.payload ? payload(7) : nullptr;
        EXPECT_EQ(vk_addNode2List(&l, key, p, c.order), VK_ERR_INVALID_ARGS) << c.order;
        std::free(key);  // a double free here means the list took it
        std::free(p);
    }
    vk_LinkedList_t *chain = chain_of({"a", "b"}, 1);
    EXPECT_EQ(vk_addNodes2List(&l, chain, 2), VK_ERR_INVALID_ARGS);
    EXPECT_EQ(vk_addNodes2List(nullptr, chain, VK_LIST_ASCENDING), VK_ERR_INVALID_ARGS);
    std::free(chain->next->node);
    chain->next->node = nullptr;  // a node without payload spoils the whole chain
    EXPECT_EQ(vk_addNodes2List(&l, chain, VK_LIST_ASCENDING), VK_ERR_INVALID_ARGS);
    EXPECT_EQ(dump(l), "m:0 ");
    EXPECT_STREQ(chain->next->key, "b");
    EXPECT_EQ(chain->next->next, nullptr);
    vk_freeLinkedList(chain, std::free);
    vk_freeLinkedList(l, std::free);
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

TEST(Lists, BatchLinksLikeOneInsertionAfterTheOther) {
    std::mt19937 rng(20240611);
    for (int order : {VK_LIST_ASCENDING, VK_LIST_DESCENDING}) {
        for (int round = 0; round < 200; ++round) {
            auto before = random_keys(rng, round % 7), batch = random_keys(rng, round % 23);
            const int n = static_cast<int>(before.size());
            vk_LinkedList_t *one_by_one = build(batch, order, build(before, order), n);
            vk_LinkedList_t *merged = build(before, order);
            ASSERT_EQ(vk_addNodes2List(&merged, chain_of(batch, n), order), 0);
            ASSERT_EQ(dump(merged), dump(one_by_one)) << "order " << order << " round " << round;
            vk_freeLinkedList(one_by_one, std::free);
            vk_freeLinkedList(merged, std::free);
        }
    }
}

}  // namespace
