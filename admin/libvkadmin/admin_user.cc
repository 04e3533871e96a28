// The registered directory user: its record, filled from a user entry of
// the directory and completed from the user status database.
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "admin_internal.h"

namespace vk {

char *dup_value(const struct berval *v) {
    if (!v) return nullptr;
    size_t n = v->bv_val ? ::strnlen(v->bv_val, v->bv_len) : 0;
    char *copy = static_cast<char *>(std::malloc(n + 1));
    if (!copy) return nullptr;
    if (n) std::memcpy(copy, v->bv_val, n);
    copy[n] = '\0';
    return copy;
}

bool StrArray::reserve(size_t more) {
    if (more > (static_cast<size_t>(-1) / sizeof(char *)) - n_ - 1) return false;
    size_t want = n_ + more + 1;
    if (want <= cap_) return true;
    auto *grown = static_cast<char **>(std::realloc(a_, want * sizeof(char *)));
    if (!grown) return false;
    for (size_t i = n_; i < want; ++i) grown[i] = nullptr;
    a_ = grown;
    cap_ = want;
    return true;
}

bool StrArray::push(const struct berval *v) {
    if (!reserve(1)) return false;
    char *copy = dup_value(v);
    if (!copy) return false;
    a_[n_++] = copy;
    a_[n_] = nullptr;
    return true;
}

}  // namespace vk

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

namespace {

vk::LdapValues values_of(LDAP *ld, LDAPMessage *entry, const char *attr) {
    return vk::LdapValues(ldap_get_values_len(ld, entry, attr));
}

// The first value of a single-valued attribute as a text; null when absent.
char *first_text(LDAP *ld, LDAPMessage *entry, const char *attr) {
    vk::LdapValues v = values_of(ld, entry, attr);
    return v && v.get()[0] ? vk::dup_value(v.get()[0]) : nullptr;
}

// The first value as a number (0 when absent or not a number).
int first_number(LDAP *ld, LDAPMessage *entry, const char *attr) {
    vk::LdapValues v = values_of(ld, entry, attr);
    if (!v || !v.get()[0] || !v.get()[0]->bv_val) return 0;
    return vk_atoi(std::string_view(v.get()[0]->bv_val, v.get()[0]->bv_len));
}

}  // namespace

VKUser *fill_user_struct(VKAdmin vka, LDAPMessage *entry) {
    if (!vka || !vka->ld || !entry) return nullptr;
    LDAP *ld = vka->ld;
    VKUser *u = allocate_user();
    u->id = first_text(ld, entry, "vkID");
    u->name = first_text(ld, entry, "vkName");
    u->other_info = first_text(ld, entry, "vkOtherInfo");
    u->create_time = first_number(ld, entry, "vkFirstTime");
    u->status = first_number(ld, entry, "vkStatus");
    u->last_desktop = first_text(ld, entry, "vkLastDesktop");
    u->last_time = first_number(ld, entry, "vkLastTime");
    u->misc1 = first_text(ld, entry, "vkMisc1");
    u->misc2 = first_text(ld, entry, "vkMisc2");
    if (vk::LdapValues v = values_of(ld, entry, "vkLogicalTokenIDs")) {
        vk::StrArray ids;
        bool complete = ids.reserve(static_cast<size_t>(ldap_count_values_len(v.get())));
        for (struct berval **p = v.get(); complete && *p; ++p) complete = ids.push(*p);
        // A partial list of tokens would misstate what the user owns.
        if (complete) u->logical_token_ids = ids.release();
    }
    return u;
}

int fill_user_status(VKAdmin vka, VKUser *user) {
    if (!vka || !user) return -1;
    vk::DbmUser status(get_dbm_user(vka->ustat_db, user->id));
    if (!status) {
        dprintf("fill_user_status(): Could not find equivalent dbm user with user_id (%s)\n",
                user->id ? user->id : "(null)");
        return -1;
    }
    user->create_time = status->create_time;
    user->status = status->status;
    char *desktop = safe_strdup(status->last_desktop ? status->last_desktop : "");
    if (desktop) {
        std::free(user->last_desktop);
        user->last_desktop = desktop;
    }
    user->last_time = status->last_time;
    return 0;
}
