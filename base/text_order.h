// Ordering records by a text of theirs in byte order, as strcmp compares.
#ifndef VK_TEXT_ORDER_H
#define VK_TEXT_ORDER_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace vk {

// Orders `items` by the NUL-terminated texts that `key(item)` gives, as
// strcmp compares them, equal texts keeping their order: what
// std::stable_sort with a strcmp comparison gives. A listing sorts
// thousands of records this way, and a comparison that follows two
// pointers and calls strcmp each time was much of its cost: here the first
// 16 bytes of each text are taken once as two numbers, and only texts that
// share them are compared further. Throws std::bad_alloc when memory for
// the order runs out, with `items` as they were.
template <typename T, typename Key>
void stable_sort_by_text(std::vector<T> &items, Key &&key) {
    struct Entry {
        uint64_t hi, lo;  // the first 16 bytes, big-endian, NULs after the end
        const char *text;
        size_t index;
    };
    std::vector<Entry> order(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        const char *text = key(items[i]);
        unsigned char first[16] = {};
        for (size_t k = 0; k < sizeof first && text[k]; ++k)
            first[k] = static_cast<unsigned char>(text[k]);
        uint64_t hi = 0, lo = 0;
        for (size_t k = 0; k < 8; ++k) {
            hi = hi << 8 | first[k];
            lo = lo << 8 | first[8 + k];
        }
        order[i] = {hi, lo, text, i};
    }
    std::sort(order.begin(), order.end(), [](const Entry &a, const Entry &b) {
        if (a.hi != b.hi) return a.hi < b.hi;
        if (a.lo != b.lo) return a.lo < b.lo;
        // The same first 16 bytes: both texts go on when the 16th is no NUL.
        if ((a.lo & 0xff) != 0) {
            int c = std::strcmp(a.text + 16, b.text + 16);
            if (c != 0) return c < 0;
        }
        return a.index < b.index;
    });
    std::vector<T> sorted;
    sorted.reserve(items.size());
    for (const Entry &e : order) sorted.push_back(std::move(items[e.index]));
    items.swap(sorted);
}

}  // namespace vk

#endif
