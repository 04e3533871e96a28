// The keyed list every collection of the library is built on.
#include <cstdlib>
#include <cstring>
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

// Inserts `keys` in turn; each payload is the key's insertion position.
vk_LinkedList_t *build(const std::vector<const char *> &keys, int order) {
    vk_LinkedList_t *l = nullptr;
    int i = 0;
    for (const char *k : keys) EXPECT_EQ(vk_addNode2List(&l, strdup(k), payload(i++), order), 0);
    return l;
}

// "key:payload " for every node, in list order.
std::string dump(const vk_LinkedList_t *l) {
    std::string s;
    for (; l; l = l->next) s += std::string(l->key) + ":" + std::to_string(*(int *)l->node) + " ";
    return s;
}

// Byte order (so "10" before "9"), the newest first among equal keys; the
// batch insertion is checked against this one.
TEST(Lists, ByteOrderWithTheNewestFirstAmongEqualKeys) {
    struct {
        std::vector<const char *> keys;
        int order;
        const char *expect;
    } cases[] = {{{"a", "b", "a", "b"}, VK_LIST_DESCENDING, "b:3 b:1 a:2 a:0 "},
                 {{"10", "9", "1", "9"}, VK_LIST_ASCENDING, "1:2 10:0 9:3 9:1 "}};
    for (auto &c : cases) {
        vk_LinkedList_t *l = build(c.keys, c.order);
        EXPECT_EQ(dump(l), c.expect);
        freed = 0;
        vk_freeLinkedList(l, count_free);
        EXPECT_EQ(freed, static_cast<int>(c.keys.size()));
    }
}

TEST(Lists, RejectedInsertionLeavesListAndOwnershipAlone) {
    struct {
        bool key, payload;
        int order;
    } cases[] = {{true, true, 2}, {true, true, -1}, {false, true, 0}, {true, false, 1}};
    vk_LinkedList_t *l = build({"m"}, VK_LIST_ASCENDING);
    for (auto &c : cases) {
        char *key = c.key ? strdup("a") : nullptr;
        int *p = c.payload ? payload(7) : nullptr;
        EXPECT_EQ(vk_addNode2List(&l, key, p, c.order), VK_ERR_INVALID_ARGS) << c.order;
        EXPECT_EQ(dump(l), "m:0 ");
        std::free(key);  // still ours: a double free here means the list took it
        std::free(p);
    }
    vk_freeLinkedList(l, count_free);
}

TEST(Lists, FindReturnsTheNewestOfEqualKeys) {
    void *out = nullptr;
    EXPECT_EQ(vk_findLinkedListNode(nullptr, "a", &out), VK_ERR_INVALID_ARGS);
    // Descending, so a search that stopped early on ascending order would miss "a".
    vk_LinkedList_t *l = build({"a", "c", "b", "a"}, VK_LIST_DESCENDING);
    EXPECT_EQ(vk_findLinkedListNode(l, "x", &out), VK_ERR_NOT_FOUND);
    EXPECT_EQ(vk_findLinkedListNode(l, "a", nullptr), VK_ERR_INVALID_ARGS);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(vk_findLinkedListNode(l, "a", &out), VK_OK);
    EXPECT_EQ(*static_cast<int *>(out), 3);
    vk_freeLinkedList(l, count_free);
}

TEST(Lists, FreeWithoutACallbackLeavesThePayloads) {
    int a = 1, b = 2;  // on the stack: freeing them would crash under the sanitizers
    vk_LinkedList_t *l = nullptr;
    ASSERT_EQ(vk_addNode2List(&l, strdup("a"), &a, 0), 0);
    ASSERT_EQ(vk_addNode2List(&l, strdup("b"), &b, 0), 0);
    vk_freeLinkedList(l, nullptr);
    EXPECT_EQ(a + b, 3);
}

}  // namespace
