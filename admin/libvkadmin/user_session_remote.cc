// Sessions of another server of the failover group.
//
// The remote-command path is not wired yet: another server cannot be reached.
#include "user_session_internal.h"

int remote_search(const char *, const char *, vk_LinkedList_t **) {
    return VK_ERR_UNREACHABLE;
}
int remote_operation(int, const vk_UserSession_t *) {
    return VK_ERR_UNREACHABLE;
}
