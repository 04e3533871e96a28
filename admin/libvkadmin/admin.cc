// The directory connection and the registered users of tokens.
//
// Not wired yet: no directory server can be reached, so -n names cannot be
// resolved and the report shows no registered names.
#include <cstdlib>
#include <initializer_list>

#include "admin.h"

VKUser *allocate_user(void) {
    return static_cast<VKUser *>(safe_malloc(sizeof(VKUser)));
}

void free_user(VKUser *u) {
    if (!u) return;
    for (char *t : {u->id, u->name, u->other_info, u->last_desktop, u->misc1, u->misc2})
        std::free(t);
    vk_free_array(u->logical_token_ids);
    std::free(u);
}

VKAdmin open_connection(int, const char *, const char *, const char *, int *return_code) {
    if (return_code) *return_code = -1;
    return nullptr;
}

int close_connection(VKAdmin) {
    return VK_OK;
}

int vk_getLtokenByUser(VKAdmin, const char *, char ***ltokens) {
    if (ltokens) *ltokens = nullptr;
    return VK_ERR_NOT_FOUND;
}

VKUser *raw_token_id_to_user(VKAdmin, const char *) {
    return nullptr;
}
VKUser *logical_token_id_to_user(VKAdmin, const char *) {
    return nullptr;
}
VKUser *_vk_getDisplayUser(VKAdmin, const vk_UserSession_t *) {
    return nullptr;
}
