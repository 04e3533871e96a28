// Translation between tokens and users: raw token to logical token, logical
// token to user, registered name to logical tokens.
//
// Token ids and names reach these lookups from session files and from the
// command line. They go into search filters as escaped assertion values
// (RFC 4515), so that "*", parentheses and backslashes match themselves: a
// name such as "*)(vkName=*" must never turn one user's search into a
// search of every user.
#include <cstdio>
#include <cstring>
#include <string>

#include "admin_internal.h"
#include "vkcxx.h"

bool vk_build_filter(char *buf, size_t size, const char *prefix, const char *value) {
    if (!buf || !size || !prefix || !value) return false;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string f(prefix);
    for (const char *p = value; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c < 0x20 || c == 0x7f) {
            f += '\\';
            f += kHex[c >> 4];
            f += kHex[c & 15];
        } else {
            f += static_cast<char>(c);
        }
    }
    if (f.size() >= size) return false;
    std::memcpy(buf, f.c_str(), f.size() + 1);
    return true;
}

bool vk_build_base(char *buf, size_t size, const char *container, const char *subtree) {
    if (!buf || !size || !container || !subtree) return false;
    int n = std::snprintf(buf, size, "%s, %s", container, subtree);
    return n >= 0 && static_cast<size_t>(n) < size;
}

namespace {

// Runs a search that must find exactly one entry below `container`.
vk::LdapResult search_one(VKAdmin vka, const char *attr_prefix, const char *value,
                          const char *container, const char *const *attrs) {
    if (!vka || !vka->ld || !vka->subtree || !value) return nullptr;
    char filter[VK_FILTER_BUF], base[VK_BASE_BUF];
    if (!vk_build_filter(filter, sizeof filter, attr_prefix, value) ||
        !vk_build_base(base, sizeof base, container, vka->subtree))
        return nullptr;
    return vk::LdapResult(search_for_entries(vka->ld, filter, base, attrs, 0, 1));
}

}  // namespace

char *raw_token_id_to_logical_token_id(VKAdmin vka, const char *raw_token_id) {
    static const char *const kAttrs[] = {"vkID", nullptr};
    vk::LdapResult res =
        search_one(vka, "vkRawTokenIDs=", raw_token_id, "vkName=logicalTokens", kAttrs);
    if (!res) return nullptr;
    LDAPMessage *entry = ldap_first_entry(vka->ld, res.get());
    if (!entry) return nullptr;
    vk::LdapValues v(ldap_get_values_len(vka->ld, entry, "vkID"));
    return v && v.get()[0] ? vk::dup_value(v.get()[0]) : nullptr;
}

VKUser *logical_token_id_to_user(VKAdmin vka, const char *logical_token_id) {
    vk::LdapResult res =
        search_one(vka, "vkLogicalTokenIDs=", logical_token_id, "vkName=users", nullptr);
    if (!res) return nullptr;
    LDAPMessage *entry = ldap_first_entry(vka->ld, res.get());
    if (!entry) return nullptr;
    VKUser *user = fill_user_struct(vka, entry);
    // The status database holds the user's changing state; a user without a
    // record there keeps what the directory says.
    if (user && user->id && dbm_user_exists(vka->ustat_db, user->id)) fill_user_status(vka, user);
    return user;
}

VKUser *raw_token_id_to_user(VKAdmin vka, const char *raw_token_id) {
    vk::CStr ltoken(raw_token_id_to_logical_token_id(vka, raw_token_id));
    if (!ltoken) return nullptr;
    return logical_token_id_to_user(vka, ltoken.get());
}

int vk_getLtokenByUser(VKAdmin vka, const char *username, char ***ltokens) {
    if (ltokens) *ltokens = nullptr;
    if (!vka || !vka->ld || !vka->subtree || !username || !ltokens) return VK_ERR_INVALID_ARGS;
    char filter[VK_FILTER_BUF], base[VK_BASE_BUF];
    if (!vk_build_filter(filter, sizeof filter, "vkname=", username) ||
        !vk_build_base(base, sizeof base, "vkName=users", vka->subtree))
        return VK_ERR_NO_BUFFER;

    vk::LdapResult res(search_for_entries(vka->ld, filter, base, nullptr, 0, 0));
    if (!res) return VK_ERR_NOT_FOUND;
    // Every entry of that name adds its tokens, in the directory's order;
    // duplicates stay.
    vk::StrArray ids;
    for (LDAPMessage *e = ldap_first_entry(vka->ld, res.get()); e;
         e = ldap_next_entry(vka->ld, e)) {
        vk::LdapValues v(ldap_get_values_len(vka->ld, e, "vkLogicalTokenIDs"));
        if (!v) continue;
        if (!ids.reserve(static_cast<size_t>(ldap_count_values_len(v.get()))))
            return VK_ERR_NO_MEMORY;
        for (struct berval **p = v.get(); *p; ++p)
            if (!ids.push(*p)) return VK_ERR_NO_MEMORY;
    }
    if (ids.size() == 0) return VK_ERR_NOT_FOUND;
    *ltokens = ids.release();
    return VK_OK;
}

VKUser *_vk_getDisplayUser(VKAdmin vka, const vk_UserSession_t *entry) {
    if (!vka || !entry || !entry->tokenName) return nullptr;
    const char *token = entry->tokenName;
    auto starts = [token](const char *prefix) {
        return std::strncmp(token, prefix, std::strlen(prefix)) == 0;
    };
    if (starts("user.")) return logical_token_id_to_user(vka, token);
    // Terminal identities and mobile sessions belong to no registered user.
    if (starts("auth.") || starts("escape.") || starts("mobile.")) return nullptr;
    // Any other token name is itself the raw token id.
    return raw_token_id_to_user(vka, token);
}
