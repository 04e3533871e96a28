// Completion of session records from the authentication manager: whether a
// token is at a terminal, whether the display is idle, and the connection's
// security.
#include "session_files.h"
#include "user_session_internal.h"

int set_state(vk_LinkedList_t **cl) {
    if (!cl || !*cl) return VK_OK;
    // The authentication manager is not asked yet: every session stays
    // disconnected, without security or terminal fields.
    for (vk_LinkedList_t *n = *cl; n; n = n->next) {
        auto *s = static_cast<vk_UserSession_t *>(n->node);
        int idle = is_idling_session(s->dispNo);
        if (idle == -1) return VK_ERR_INTERNAL;
        if (idle == 1) s->state |= VK_SESSION_IDLE;
    }
    return VK_OK;
}
