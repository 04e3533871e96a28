// The keyed, ordered, singly linked list and NULL-terminated string arrays.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "text_order.h"
#include "utils.h"
#include "vkerrno.h"

vk_LinkedList_t *vk_allocLinkedListNode(void) {
    return static_cast<vk_LinkedList_t *>(std::calloc(1, sizeof(vk_LinkedList_t)));
}

int vk_addNode2List(vk_LinkedList_t **list, char *key, void *payload, int order) {
    if (!list || !key || !payload || (order != VK_LIST_ASCENDING && order != VK_LIST_DESCENDING))
        return VK_ERR_INVALID_ARGS;
    vk_LinkedList_t *n = vk_allocLinkedListNode();
    if (!n) return VK_ERR_NO_MEMORY;
    n->key = key;
    n->node = payload;

    // Stop at the first node whose key is >= (ascending) or <= (descending)
    // the new key, so a new key goes in front of every equal key.
    vk_LinkedList_t **link = list;
    while (*link) {
        int c = std::strcmp((*link)->key, key);
        if (order == VK_LIST_ASCENDING ? c >= 0 : c <= 0) break;
        link = &(*link)->next;
    }
    n->next = *link;
    *link = n;
    return VK_OK;
}

int vk_addNodes2List(vk_LinkedList_t **list, vk_LinkedList_t *chain, int order) {
    if (!list || (order != VK_LIST_ASCENDING && order != VK_LIST_DESCENDING))
        return VK_ERR_INVALID_ARGS;
    std::vector<vk_LinkedList_t *> batch;
    try {
        for (vk_LinkedList_t *n = chain; n; n = n->next) {
            if (!n->key || !n->node) return VK_ERR_INVALID_ARGS;
            batch.push_back(n);
        }
    } catch (const std::bad_alloc &) {
        return VK_ERR_NO_MEMORY;
    }
    // One by one, every node would go in front of the equal keys before it:
    // among equal keys the newest comes first. A stable sort of the batch
    // taken newest first gives that order within the batch.
    std::reverse(batch.begin(), batch.end());
    const bool ascending = order == VK_LIST_ASCENDING;
    if (ascending) {
        try {
            vk::stable_sort_by_text(batch, [](const vk_LinkedList_t *n) { return n->key; });
        } catch (const std::bad_alloc &) {
            return VK_ERR_NO_MEMORY;
        }
    } else {
        std::stable_sort(batch.begin(), batch.end(), [](const auto *a, const auto *b) {
            return std::strcmp(a->key, b->key) > 0;
        });
    }
    // ... and every one of them in front of the equal keys already listed.
    vk_LinkedList_t *old = *list;
    vk_LinkedList_t **tail = list;
    for (vk_LinkedList_t *n : batch) {
        while (old) {
            int c = std::strcmp(old->key, n->key);
            if (ascending ? c >= 0 : c <= 0) break;
            *tail = old;
            tail = &old->next;
            old = old->next;
        }
        *tail = n;
        tail = &n->next;
    }
    *tail = old;
    return VK_OK;
}

int vk_findLinkedListNode(vk_LinkedList_t *list, const char *key, void **payload) {
    if (!list || !key || !payload) return VK_ERR_INVALID_ARGS;
    for (vk_LinkedList_t *n = list; n; n = n->next) {
        if (std::strcmp(n->key, key) == 0) {
            *payload = n->node;
            return VK_OK;
        }
    }
    return VK_ERR_NOT_FOUND;
}

void vk_freeLinkedListNode(vk_LinkedList_t *node, vk_freeFunc_t freefn) {
    if (!node) return;
    std::free(node->key);
    if (freefn && node->node) freefn(node->node);
    std::free(node);
}

void vk_freeLinkedList(vk_LinkedList_t *list, vk_freeFunc_t freefn) {
    while (list) {
        vk_LinkedList_t *next = list->next;
        vk_freeLinkedListNode(list, freefn);
        list = next;
    }
}

void vk_free_array(char **array) {
    if (!array) return;
    for (char **p = array; *p; ++p) std::free(*p);
    std::free(array);
}
