// The session record and the enumeration interface.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <malloc.h>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <strings.h>
#include <unistd.h>
#include <vector>

#include "session_files.h"
#include "text_order.h"
#include "user_session_internal.h"
#include "vkcxx.h"

vk_LinkedList_t *cacheList = nullptr;
std::vector<vk_UserSession_t *> displayIndex;
std::vector<std::pair<const vk_UserSession_t *, int64_t>> sessionStarts;
namespace {
bool startsSorted = false;
}
vk_LinkedList_t *tmpList = nullptr;

namespace {

vk_LinkedList_t *cacheCurr = nullptr;
bool packing = false;  // vk_packUserSessionTexts
std::mutex one_lane;

// Frees the display index's nodes and keys; the records belong to the list
// being built.
void free_display_index() {
    std::vector<vk_UserSession_t *>().swap(displayIndex);
}

bool has_prefix_nocase(const char *s, const char *prefix, const char **rest) {
    size_t n = std::strlen(prefix);
    if (strncasecmp(s, prefix, n) != 0) return false;
    *rest = s + n;
    return true;
}

int local_search(const char *tokenID, const char *host) {
    const char *rest = nullptr;
    if (!tokenID) return local_all(nullptr, host, &cacheList);
    if (has_prefix_nocase(tokenID, "unix.", &rest)) return searchbyunix(rest, host, &cacheList);
    if (has_prefix_nocase(tokenID, "display.", &rest))
        return local_one(rest, host, VK_DISPLAYS_DIR, &cacheList);
    int rc = local_one(tokenID, host, VK_CTOKENS_DIR, &cacheList);
    if (rc == VK_ERR_NOT_FOUND) rc = local_all(tokenID, host, &cacheList);
    return rc;
}

}  // namespace

vk_UserSession_t *allocate_userSession(void) {
    auto *s = static_cast<vk_UserSession_t *>(std::calloc(1, sizeof(vk_UserSession_t)));
    if (s) s->state = VK_SESSION_DISCONNECTED;
    return s;
}

namespace {

// The record's texts, tokenName first.
constexpr char *vk_UserSession_t::*kTexts[] = {
    &vk_UserSession_t::tokenName, &vk_UserSession_t::rawtoken,   &vk_UserSession_t::unixID,
    &vk_UserSession_t::dispNo,    &vk_UserSession_t::server,     &vk_UserSession_t::sessionType,
    &vk_UserSession_t::enc_up,    &vk_UserSession_t::enc_down,   &vk_UserSession_t::auth_up,
    &vk_UserSession_t::auth_down, &vk_UserSession_t::mode,       &vk_UserSession_t::termPrimary,
    &vk_UserSession_t::termList,  &vk_UserSession_t::mhGroupName};
// enc_up .. mode
constexpr size_t kFirstSecurity = 6, kLastSecurity = 10;

// The block of the record's texts: the allocation that begins with its
// tokenName. A text of a packed record lies in it (or is tokenName itself,
// shared) and is freed with the block. A text of its own can never lie in
// another allocation, so a record that was never packed has none there.
struct TokenBlock {
    uintptr_t from = 0, to = 0;
    explicit TokenBlock(const vk_UserSession_t *s) {
        if (!s->tokenName) return;
        from = reinterpret_cast<uintptr_t>(s->tokenName);
        to = from + malloc_usable_size(s->tokenName);
    }
    bool holds(const char *text) const {
        auto at = reinterpret_cast<uintptr_t>(text);
        return text && at >= from && at < to;
    }
};

// Frees the record's texts, each once.
void free_texts(vk_UserSession_t *s) {
    const TokenBlock block(s);
    for (auto field : kTexts)
        if (field != &vk_UserSession_t::tokenName && !block.holds(s->*field)) std::free(s->*field);
    std::free(s->tokenName);
}

size_t text_index(char *vk_UserSession_t::*field) {
    size_t i = 0;
    while (i < std::size(kTexts) && kTexts[i] != field) ++i;
    return i;
}

}  // namespace

void vk_freeUserSessionEnt(vk_UserSession_t *s) {
    if (!s) return;
    free_texts(s);
    std::free(s);
}

void replace_session_text(vk_UserSession_t *s, char *vk_UserSession_t::*field, char *text) {
    if (!TokenBlock(s).holds(s->*field)) std::free(s->*field);
    s->*field = text;
}

void vk_packUserSessionTexts(int on) {
    packing = on != 0;
}

bool pack_session_texts(vk_UserSession_t *s) {
    return pack_session_texts(s, {});
}

namespace {

using Texts = std::array<const char *, std::size(kTexts)>;

// Puts copies of `text` (by the order of kTexts) into one new block and
// points `out`'s fields at them; false when memory runs out, or without a
// tokenName, which is where the block begins and what frees it.
bool build_block(const Texts &text, vk_UserSession_t &out) {
    static_assert(kTexts[0] == &vk_UserSession_t::tokenName);
    if (!text[0]) return false;
    // Equal security values (mostly "none") are kept once and shared:
    // nothing writes into a record's texts, and the block goes as a whole.
    auto earlier = [&text](size_t i) -> size_t {
        if (i <= kFirstSecurity || i > kLastSecurity) return 0;
        for (size_t k = kFirstSecurity; k < i; ++k)
            if (text[k] && std::strcmp(text[k], text[i]) == 0) return k;
        return 0;
    };
    std::array<size_t, std::size(kTexts)> length{};
    size_t size = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!text[i] || earlier(i)) continue;
        length[i] = std::strlen(text[i]) + 1;
        size += length[i];
    }
    // (A size of 0 would need lengths past the end of the address space.)
    auto *block = size == 0 ? nullptr : static_cast<char *>(std::malloc(size));
    if (!block) return false;
    // tokenName, the first text, is the block itself.
    std::memcpy(block, text[0], length[0]);
    out.tokenName = block;
    char *at = block + length[0];
    for (size_t i = 1; i < text.size(); ++i) {
        auto field = kTexts[i];
        if (!text[i]) {
            out.*field = nullptr;
        } else if (size_t same = earlier(i)) {
            out.*field = out.*kTexts[same];
        } else {
            std::memcpy(at, text[i], length[i]);
            out.*field = at;
            at += length[i];
        }
    }
    return true;
}

// Applies `with` to `text`; false when it names a field twice or one
// that is no text.
bool take_texts(Texts &text, std::initializer_list<SessionText> with) {
    for (const SessionText &w : with) {
        size_t i = text_index(w.field);
        if (i >= text.size()) return false;
        text[i] = w.text;
    }
    return true;
}

}  // namespace

bool pack_session_texts(vk_UserSession_t *s, std::initializer_list<SessionText> with) {
    if (!packing || !s || !s->tokenName) return false;
    Texts text;
    for (size_t i = 0; i < text.size(); ++i) text[i] = s->*kTexts[i];
    // tokenName holds the block; it is never replaced.
    if (!take_texts(text, with) || text[0] != s->tokenName) return false;
    vk_UserSession_t packed = *s;
    if (!build_block(text, packed)) return false;
    free_texts(s);
    *s = packed;
    return true;
}

vk_UserSession_t *new_packed_session(std::initializer_list<SessionText> texts) {
    if (!packing) return nullptr;
    Texts text{};
    if (!take_texts(text, texts) || !text[0]) return nullptr;
    vk_UserSession_t *s = allocate_userSession();
    if (s && !build_block(text, *s)) {
        std::free(s);
        return nullptr;
    }
    return s;
}

void free_session_payload(void *p) {
    vk_freeUserSessionEnt(static_cast<vk_UserSession_t *>(p));
}

void free_cache(vk_LinkedList_t **list) {
    if (!list) return;
    if (list == &cacheList) cacheCurr = nullptr;
    free_display_index();
    vk_freeLinkedList(*list, free_session_payload);
    *list = nullptr;
}

std::vector<vk_UserSession_t *> display_order() {
    std::vector<vk_UserSession_t *> order(displayIndex.rbegin(), displayIndex.rend());
    vk::stable_sort_by_text(order, [](const vk_UserSession_t *s) { return s->dispNo; });
    return order;
}

int insert_cache(vk_UserSession_t *session, vk_LinkedList_t **list) {
    if (!session || !list) {
        vk_freeUserSessionEnt(session);
        if (list) free_cache(list);
        return VK_ERR_INVALID_ARGS;
    }
    // On any failure the list being built is discarded with the record,
    // whether or not the record was already linked into it.
    auto fail = [&](int rc, bool linked) {
        if (!linked) vk_freeUserSessionEnt(session);
        free_cache(list);
        return rc;
    };
    vk::CStr key = vk::dup(session->tokenName);
    if (!key) return fail(session->tokenName ? VK_ERR_NO_MEMORY : VK_ERR_INVALID_ARGS, false);
    int rc = vk_addNode2List(list, key.get(), session, VK_LIST_ASCENDING);
    if (rc != VK_OK) return fail(rc, false);
    key.release();

    if (!session->dispNo) return fail(VK_ERR_INVALID_ARGS, true);
    try {
        displayIndex.push_back(session);
    } catch (const std::bad_alloc &) {
        return fail(VK_ERR_NO_MEMORY, true);
    }

    if (list == &cacheList) cacheCurr = cacheList;
    return VK_OK;
}

int insert_cache_all(std::vector<vk_UserSession_t *> &sessions, vk_LinkedList_t **list) {
    // Nodes under the record's token, chained in the order the records came.
    struct Chain {
        vk_LinkedList_t *head = nullptr, **tail = &head;
        ~Chain() { vk_freeLinkedList(head, nullptr); }  // nodes not taken over; records apart
        bool add(const char *key, vk_UserSession_t *s) {
            vk::CStr k = vk::dup(key);
            vk_LinkedList_t *n = k ? vk_allocLinkedListNode() : nullptr;
            if (!n) return false;
            n->key = k.release();
            n->node = s;
            *tail = n;
            tail = &n->next;
            return true;
        }
    } tokens;

    int rc = list ? VK_OK : VK_ERR_INVALID_ARGS;
    for (vk_UserSession_t *s : sessions) {
        if (rc != VK_OK) break;
        if (!s || !s->tokenName || !s->dispNo)
            rc = VK_ERR_INVALID_ARGS;
        else if (!tokens.add(s->tokenName, s))
            rc = VK_ERR_NO_MEMORY;
    }
    if (rc == VK_OK) {
        try {
            displayIndex.reserve(displayIndex.size() + sessions.size());
        } catch (const std::bad_alloc &) {
            rc = VK_ERR_NO_MEMORY;
        }
    }
    if (rc == VK_OK) rc = vk_addNodes2List(list, tokens.head, VK_LIST_ASCENDING);
    if (rc == VK_OK) {
        tokens.head = nullptr;  // the list's now, with the records
        displayIndex.insert(displayIndex.end(), sessions.begin(), sessions.end());  // reserved
    } else {
        for (vk_UserSession_t *s : sessions) vk_freeUserSessionEnt(s);
    }
    sessions.clear();
    if (rc != VK_OK) {
        if (list) free_cache(list);
        return rc;
    }
    if (list == &cacheList && cacheList) cacheCurr = cacheList;
    return VK_OK;
}

int vk_setUserSessionEnt(const char *tokenID, const char *server) {
    char host[256] = {0};
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';

    std::lock_guard<std::mutex> lock(one_lane);
    if (cacheList) free_cache(&cacheList);
    SessionFileMemo file_memo;

    int rc;
    if (server && strcasecmp(server, host) != 0) {
        rc = remote_search(tokenID, server, &cacheList);
    } else {
        // Whether the manager's host answers is asked once the display files
        // are read, the manager then, and the process table once it has
        // answered: the probe and ps take a few milliseconds each, and run
        // meanwhile; and once a session is found and the host answers, the
        // manager is asked at once and prepares its answer meanwhile.
        PingAhead probe(kStatusHost);
        ProcessTableAhead table;
        StatusAhead status;
        rc = local_search(tokenID, host);
        if (rc == VK_OK) {
            rc = set_state(&cacheList);
            if (rc == VK_OK) rc = set_unix(&cacheList);
            if (rc != VK_OK) free_cache(&cacheList);
        }
    }
    free_display_index();
    return rc;
}

int vk_getUserSessionEnt(vk_UserSession_t **session) {
    std::lock_guard<std::mutex> lock(one_lane);
    if (!cacheList) return VK_ERR_CALL_SEQUENCE;
    if (!cacheCurr) return VK_ERR_NO_MORE_DATA;
    if (!session) return VK_ERR_INVALID_ARGS;
    *session = static_cast<vk_UserSession_t *>(cacheCurr->node);
    cacheCurr->node = nullptr;
    cacheCurr = cacheCurr->next;
    return VK_OK;
}

void vk_endUserSessionEnt(void) {
    std::lock_guard<std::mutex> lock(one_lane);
    free_cache(&cacheList);
}

int _vk_getSessionStart(const vk_UserSession_t *entry, int64_t *when) {
    std::lock_guard<std::mutex> lock(one_lane);
    if (!entry || !when) return VK_ERR_INVALID_ARGS;
    if (!startsSorted) {
        std::sort(sessionStarts.begin(), sessionStarts.end());
        startsSorted = true;
    }
    auto it = std::lower_bound(sessionStarts.begin(), sessionStarts.end(),
                               std::pair<const vk_UserSession_t *, int64_t>{entry, INT64_MIN});
    if (it == sessionStarts.end() || it->first != entry) return VK_ERR_NOT_FOUND;
    *when = it->second;
    return VK_OK;
}

void note_session_start(const vk_UserSession_t *entry, int64_t when) {
    if (!entry) {
        sessionStarts.clear();
    } else {
        try {
            sessionStarts.emplace_back(entry, when);
        } catch (const std::bad_alloc &) {
            return;  // not known: the caller examines the file itself
        }
    }
    startsSorted = false;
}
