// Result codes, their messages and the message catalogue.
#include <cerrno>
#include <libintl.h>

#include "vkerrno.h"

namespace {

constexpr const char *kUndefined = "Undefined error code";

// Messages of the codes 0 down to -33, indexed by the negated code. -21 has
// no message of its own.
constexpr const char *kMessages[] = {
    "Success",
    "Internal system error",
    "No changes were made",
    "Authentication failed",
    "Object not found",
    "No permission",
    "Invalid arguments",
    "Data already exists",
    "Terminal already in use",
    "Token not found",
    "Not enough memory",
    "Duplicate Terminal ID",
    "Server unreachable",
    "Failed to open socket",
    "Socket write failed",
    "Authentication Manager timeout",
    "File access error",
    "Invalid call sequence",
    "No more data",
    "File or directory does not exist",
    "Unable to contact admin database",
    nullptr,
    "Session detached",
    "Not currently in a Parvix session",
    "Operation timed out",
    "Failed to contact the remote service",
    "Configuration error",
    "No buffer space available",
    "Failed to open DBM files",
    "Invalid referral from the primary DS server",
    "Open failed",
    "Message rejected",
    "Connection disconnected",
    "Data replication timed out",
};
constexpr int kLowest = -(static_cast<int>(sizeof kMessages / sizeof kMessages[0]) - 1);

const char *message_of(int code) {
    if (code == VK_ERR_UNKNOWN_SYSTEM) return "Unknown system error";
    if (code > 0 || code < kLowest) return kUndefined;
    const char *m = kMessages[-code];
    return m ? m : kUndefined;
}

// The catalogue must be bound before anything can print a message. This
// translation unit is always linked (vk_err2str lives here) and the program
// links the library whole, so the initializer cannot be dropped.
__attribute__((constructor)) void bind_catalogue_at_start() {
    vk_err2str_init();
}

}  // namespace

void vk_err2str_init(void) {
    bindtextdomain(VK_TEXT_DOMAIN, VK_LOCALE_DIR);
}

const char *vk_err2str(int code) {
    return dgettext(VK_TEXT_DOMAIN, message_of(code));
}

int vk_errno2vkerr(int err, int dflt) {
    switch (err) {
        case 0:
            return VK_OK;
        case ENOENT:
            return VK_ERR_NO_FILE;
        case ENOMEM:
            return VK_ERR_NO_MEMORY;
        case EACCES:
            return VK_ERR_NO_PERMISSION;
        case EEXIST:
            return VK_ERR_EXISTS;
        default:
            return dflt;
    }
}

int vk_dserr2vkerr(int ldap_rc) {
    switch (ldap_rc) {
        case 0:
            return VK_OK;  // LDAP_SUCCESS
        case 10:
            return VK_ERR_BAD_REFERRAL;  // LDAP_REFERRAL
        case 50:
            return VK_ERR_NO_PERMISSION;  // LDAP_INSUFFICIENT_ACCESS
        case 68:
            return VK_ERR_EXISTS;  // LDAP_ALREADY_EXISTS
        default:
            return VK_ERR_INTERNAL;
    }
}

const char *vk_errNotPrivileged(void) {
    return dgettext(VK_TEXT_DOMAIN, "Administrator privilege is required to perform this activity");
}
