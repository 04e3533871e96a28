// Discovery of this host's sessions from their session files.
//
// Not wired yet: every search answers "Object not found" and the completion
// steps change nothing, so an enumeration of this host is always empty.
#include <cstdlib>
#include <initializer_list>

#include "user_session_internal.h"

int local_one(const char *, const char *, const char *, vk_LinkedList_t **) {
    return VK_ERR_NOT_FOUND;
}
int local_all(const char *, const char *, vk_LinkedList_t **) { return VK_ERR_NOT_FOUND; }
int searchbyunix(const char *, const char *, vk_LinkedList_t **) { return VK_ERR_NOT_FOUND; }
int set_unix(vk_LinkedList_t **) { return VK_OK; }
int set_state(vk_LinkedList_t **) { return VK_OK; }
int verify_session(const vk_UserSession_t *) { return VK_ERR_NOT_FOUND; }

vk_SessionProc_t *allocate_sessionProc(void) {
    return static_cast<vk_SessionProc_t *>(std::calloc(1, sizeof(vk_SessionProc_t)));
}

void free_sessionProc(vk_SessionProc_t *sp) {
    if (!sp) return;
    for (char *t : {sp->xid, sp->uid, sp->pid, sp->program, sp->server_pid, sp->server_prog})
        std::free(t);
    std::free(sp);
}
