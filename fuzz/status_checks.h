// Properties of a list of status records, shared by the status reply and
// status record targets.
#ifndef VK_FUZZ_STATUS_CHECKS_H
#define VK_FUZZ_STATUS_CHECKS_H

#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "vkadmin.h"

namespace fuzz {

// The keys that session state resolution asks for, and two more.
inline char *kStatusKeys[] = {const_cast<char *>("tokenName"),
                              const_cast<char *>("encryptUpType"),
                              const_cast<char *>("encryptDownType"),
                              const_cast<char *>("authenticateUpType"),
                              const_cast<char *>("authenticateDownType"),
                              const_cast<char *>("securityMode"),
                              const_cast<char *>("MultiheadTerminalIndex"),
                              const_cast<char *>("MultiheadGroupName"),
                              const_cast<char *>("MultiheadPrimary"),
                              const_cast<char *>("terminalCID"),
                              const_cast<char *>("LocalName"),
                              const_cast<char *>("annotation.x_token"),
                              nullptr};

inline std::string key_filter() {
    std::string f = "~terminalCID~terminalId~tokenName~firmware~";
    for (char **k = kStatusKeys; *k; ++k) f += std::string(*k) + "~";
    return f;
}

// Every kept record has its identity and passed the filters; the list
// ascends by the sort order's key.
inline size_t check_status_list(const vk_KeyValuesNode_t *l, int sort, const char *desktop) {
    size_t n = 0;
    const char *prev = nullptr;
    for (; l; l = l->next, ++n) {
        check(l->terminal_CID && l->token_name, "a kept record has a terminal and a token");
        check(sort != VK_SORT_BY_TOKEN || *l->token_name, "sort order 2 drops empty tokens");
        check(!desktop || std::strstr(desktop, l->terminal_CID), "the terminal filter holds");
        const char *key = sort == VK_SORT_BY_TERMINAL ? l->terminal_CID : l->token_name;
        check(!prev || std::strcmp(prev, key) <= 0, "the list ascends by its key");
        prev = key;
    }
    return n;
}

// Two lists hold the same records in the same order.
inline bool same_status_lists(const vk_KeyValuesNode_t *a, const vk_KeyValuesNode_t *b) {
    auto eq = [](const char *x, const char *y) {
        return (!x && !y) || (x && y && std::strcmp(x, y) == 0);
    };
    for (; a && b; a = a->next, b = b->next) {
        if (!eq(a->terminal_CID, b->terminal_CID) || !eq(a->token_name, b->token_name) ||
            !eq(a->enc_up_type, b->enc_up_type) || !eq(a->security_mode, b->security_mode) ||
            !eq(a->MHgroup_name, b->MHgroup_name) || !eq(a->local_name, b->local_name) ||
            a->MHterm_index != b->MHterm_index || a->flag != b->flag)
            return false;
    }
    return !a && !b;
}

}  // namespace fuzz

#endif
