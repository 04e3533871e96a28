// Result codes of the administration library and their messages.
//
// Every library operation answers 0 or one of the negative codes below. The
// message of a code doubles as its key in the "vk_libvkadmin" catalogue, so
// vk_err2str() returns a translation when the user's language has one.
#ifndef VK_VKERRNO_H
#define VK_VKERRNO_H

enum {
    VK_OK = 0,
    VK_ERR_INTERNAL = -1,
    VK_ERR_NO_CHANGE = -2,
    VK_ERR_AUTH_FAILED = -3,
    VK_ERR_NOT_FOUND = -4,
    VK_ERR_NO_PERMISSION = -5,
    VK_ERR_INVALID_ARGS = -6,
    VK_ERR_EXISTS = -7,
    VK_ERR_TERMINAL_IN_USE = -8,
    VK_ERR_TOKEN_NOT_FOUND = -9,
    VK_ERR_NO_MEMORY = -10,
    VK_ERR_DUPLICATE_TERMINAL = -11,
    VK_ERR_UNREACHABLE = -12,
    VK_ERR_SOCKET_OPEN = -13,
    VK_ERR_SOCKET_WRITE = -14,
    VK_ERR_AUTHMGR_TIMEOUT = -15,
    VK_ERR_FILE_ACCESS = -16,
    VK_ERR_CALL_SEQUENCE = -17,
    VK_ERR_NO_MORE_DATA = -18,
    VK_ERR_NO_FILE = -19,
    VK_ERR_ADMIN_DB = -20,
    // -21 has no constant and no message of its own.
    VK_ERR_DETACHED = -22,
    VK_ERR_NOT_IN_SESSION = -23,
    VK_ERR_TIMEOUT = -24,
    VK_ERR_REMOTE_SERVICE = -25,
    VK_ERR_CONFIG = -26,
    VK_ERR_NO_BUFFER = -27,
    VK_ERR_DBM_OPEN = -28,
    VK_ERR_BAD_REFERRAL = -29,
    VK_ERR_OPEN_FAILED = -30,
    VK_ERR_MSG_REJECTED = -31,
    VK_ERR_DISCONNECTED = -32,
    VK_ERR_REPLICATION_TIMEOUT = -33,
    VK_ERR_UNKNOWN_SYSTEM = 2,
};

// Text domain and directory of the message catalogues.
#define VK_TEXT_DOMAIN "vk_libvkadmin"
#define VK_LOCALE_DIR "/opt/KELWvk/lib/locale"

// Binds the text domain; runs by itself before main().
void vk_err2str_init(void);
// The (translated) message of a code; never null, never to be freed.
const char *vk_err2str(int code);
// A system error number as a library code; `dflt` for numbers without a mapping.
int vk_errno2vkerr(int err, int dflt);
// An LDAP result code as a library code.
int vk_dserr2vkerr(int ldap_rc);
// "Administrator privilege is required to perform this activity", translated.
const char *vk_errNotPrivileged(void);

#endif
