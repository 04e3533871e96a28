// Suspend, resume and terminate.
//
// Not wired yet: with no session source nothing can reach these.
#include "user_session_internal.h"

int vk_suspendUserSession(vk_UserSession_t *) { return VK_ERR_INTERNAL; }
int vk_resumeUserSession(vk_UserSession_t *) { return VK_ERR_INTERNAL; }
int vk_terminateUserSession(vk_UserSession_t *) { return VK_ERR_INTERNAL; }
