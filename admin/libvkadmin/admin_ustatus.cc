// The user status database: one ndbm record per user, keyed by the user id,
// holding the changing state of the user (six fields, each ended by the
// byte 0x1e).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "admin_internal.h"

namespace {

// The fields of a value in the order of the writer's format.
enum Field { kId, kName, kCreateTime, kStatus, kLastDesktop, kLastTime, kFields };

// A copy of a field (cut at an embedded zero byte, like any C text).
char *field_copy(std::string_view f) {
    size_t n = ::strnlen(f.data(), f.size());
    char *copy = static_cast<char *>(safe_malloc(n + 1));
    std::memcpy(copy, f.data(), n);
    return copy;
}

datum key_of(const char *id) {
    datum key;
    key.dptr = const_cast<char *>(id);
    key.dsize = static_cast<int>(std::strlen(id));
    return key;
}

}  // namespace

DBMUser *allocate_dbm_user(void) {
    return static_cast<DBMUser *>(safe_malloc(sizeof(DBMUser)));
}

void free_dbm_user(DBMUser *user) {
    if (!user) return;
    std::free(user->id);
    std::free(user->name);
    std::free(user->last_desktop);
    std::free(user);
}

DBMUser *fill_dbm_user_struct(datum record) {
    // The writer formats a value in 512 bytes and a reader takes at most 511
    // bytes of it: a longer value was not written by the writer, and cutting
    // it would turn its last fields into different numbers. It is no record.
    if (!record.dptr || record.dsize < 0 || static_cast<size_t>(record.dsize) >= VK_USTATUS_BUF)
        return nullptr;
    std::string_view text(record.dptr, static_cast<size_t>(record.dsize));
    DBMUser *user = allocate_dbm_user();
    // Each separator ends a field; the text after the last one, if any, is
    // the next field of a short value. Fields beyond the sixth are ignored.
    int field = 0;
    while (field < kFields && !text.empty()) {
        size_t sep = text.find(VK_USTATUS_SEP);
        std::string_view f = text.substr(0, sep);
        switch (field) {
            case kId:
                user->id = field_copy(f);
                break;
            case kName:
                user->name = field_copy(f);
                break;
            case kCreateTime:
                user->create_time = vk_atoi(f);
                break;
            case kStatus:
                user->status = vk_atoi(f);
                break;
            case kLastDesktop:
                user->last_desktop = field_copy(f);
                break;
            case kLastTime:
                user->last_time = vk_atoi(f);
                break;
        }
        ++field;
        if (sep == std::string_view::npos) break;
        text.remove_prefix(sep + 1);
    }
    return user;
}

int dbm_user_exists(DBM *dbustat, const char *userid) {
    if (!dbustat || !userid) return 0;
    datum value = dbm_fetch(dbustat, key_of(userid));
    return value.dptr != nullptr ? 1 : 0;
}

DBMUser *get_dbm_user(DBM *dbustat, const char *id) {
    if (!dbustat || !id) return nullptr;
    datum value = dbm_fetch(dbustat, key_of(id));
    if (!value.dptr || value.dsize <= 0) {
        dlprintf("a", "No user record.\n");
        return nullptr;
    }
    return fill_dbm_user_struct(value);
}

int format_dbm_user(char *buf, size_t size, const DBMUser *user) {
    if (!buf || !size || !user) return -1;
    const char *texts[] = {user->id ? user->id : "", user->name ? user->name : "",
                           user->last_desktop ? user->last_desktop : ""};
    for (const char *t : texts)
        if (std::strchr(t, VK_USTATUS_SEP)) return -1;
    if (size > VK_USTATUS_BUF) size = VK_USTATUS_BUF;
    int n = std::snprintf(buf, size, "%s\x1e%s\x1e%d\x1e%d\x1e%s\x1e%d\x1e", texts[0], texts[1],
                          user->create_time, user->status, texts[2], user->last_time);
    // A reader takes at most 511 bytes; the value must fit, terminator aside.
    if (n < 0 || static_cast<size_t>(n) >= size) return -1;
    return n;
}
