// Lists built in one pass must come out exactly as if every node had been
// linked on its own: same order, and among equal keys the same tie order
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

// A refused chain stays the caller's, whole: no node of it may be linked
// or freed, and the list is not touched.
TEST(SortedBuild, RefusesWithoutTouchingListOrChain) {
    vk_LinkedList_t *l = chain_of({"m"}, 0);
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

}  // namespace
