// Output of the remote vksession -p -x as the remote session search reads
// it: record lines of any length, an error line, or anything else.
#include <cstdio>
#include <cstring>

#include "fuzz_support.h"
#include "pipe_readers.h"
#include "user_session_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!f) return 0;
    vk_LinkedList_t *list = nullptr;
    bool settled = false;
    int rc = read_search_reply(f, "parvix2", &list, &settled);
    std::fclose(f);
    if (settled) fuzz::check(!list, "a first line that decides adds no records");
    if (rc == VK_ERR_NOT_FOUND) fuzz::check(!list, "-4: nothing found");
    const char *prev = nullptr;
    for (vk_LinkedList_t *n = list; n; n = n->next) {
        auto *s = static_cast<vk_UserSession_t *>(n->node);
        fuzz::check(s && s->tokenName && s->server && s->dispNo,
                    "a listed record has a token, a server and a display");
        fuzz::check(std::strcmp(n->key, s->tokenName) == 0, "keyed by its token");
        fuzz::check(!prev || std::strcmp(prev, n->key) <= 0, "the list ascends by token");
        prev = n->key;
    }
    free_cache(&list);
    return 0;
}
