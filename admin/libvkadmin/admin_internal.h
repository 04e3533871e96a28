// Directory datastore access, inside the library: the connection handle, the
// user status record, and the owners of the LDAP and ndbm resources that the
// handle and the lookups use.
#ifndef VK_ADMIN_INTERNAL_H
#define VK_ADMIN_INTERNAL_H

// ldap_init() (host and port, as the configuration gives them) is only
// declared for the deprecated interface.
#define LDAP_DEPRECATED 1
#include <lber.h>
#include <ldap.h>
extern "C" {
#include <ndbm.h>
}

#include <cstddef>
#include <memory>
#include <string_view>

#include "admin.h"

// The open directory connection and the settings it was opened with.
struct VKAdminStruct {
    LDAP *ld;             // bound connection
    int mode;             // connection mode, 1 to 4
    char *server_name;    // directory server host
    int server_port;      // 0 = not set
    char *user_name;      // bind name
    char *subtree;        // DN below which the containers lie
    char *defaultlocale;  // kept, not read by this tool
    DBM *dstat_db;        // desktop status database
    DBM *ustat_db;        // user status database
    char *dstatus_fname;  // ndbm base names (the library adds .dir/.pag)
    char *ustatus_fname;
    int authmech;  // VK_AUTH_SIMPLE or VK_AUTH_CRAM_MD5
    char *cred;    // bind password
    LDAP *referral_ld;
    char *referral_name;
};

// A record of the user status database.
struct DBMUser {
    char *id;
    char *name;
    int create_time;
    int status;
    char *last_desktop;
    int last_time;
};

// Buffers of the lookups, terminating zero included: a search filter and a
// search base.
constexpr size_t VK_FILTER_BUF = 128;
constexpr size_t VK_BASE_BUF = 500;
// A user status value is formatted in, and read back through, 512 bytes.
constexpr size_t VK_USTATUS_BUF = 512;
// The field separator of a user status value (ASCII record separator).
constexpr char VK_USTATUS_SEP = '\x1e';

// Connection and search (admin.cc).
LDAP *_vk_LDAPopen(const char *user, const char *passwd, const char *srv, int port, int authmech,
                   int *return_code);
DBM *open_desktop_dbm(const char *dbname, int mode);
DBM *open_user_dbm(const char *dbname, int mode);
LDAPMessage *search_for_entries(LDAP *ld, const char *search_filter, const char *subtree,
                                const char *const *attrs, int attrsonly, int restrictions);

// CRAM-MD5 (admin_cram_md5.cc).
int _vk_ldap_sasl_cram_md5_bind_s(LDAP *ld, const char *dn, struct berval *cred,
                                  LDAPControl **serverctrls, LDAPControl **clientctrls);
// The client's answer to a CRAM-MD5 challenge: the user name, a blank and the
// lower-case hex HMAC-MD5 of the challenge keyed with the secret. Null when
// the digest cannot be computed.
char *vk_cram_md5_response(const char *user, const char *secret, size_t secret_len,
                           const char *challenge, size_t challenge_len);

// Token and user lookups (admin_trans.cc, admin_user.cc).
char *raw_token_id_to_logical_token_id(VKAdmin vka, const char *raw_token_id);
VKUser *fill_user_struct(VKAdmin vka, LDAPMessage *entry);
int fill_user_status(VKAdmin vka, VKUser *user);
// Writes "<prefix><value escaped as an RFC 4515 assertion value>" into buf;
// false when it does not fit in `size` bytes with its terminating zero.
bool vk_build_filter(char *buf, size_t size, const char *prefix, const char *value);
// Writes "<container>, <subtree>" into buf; false when it does not fit.
bool vk_build_base(char *buf, size_t size, const char *container, const char *subtree);

// User status database (admin_ustatus.cc).
DBMUser *allocate_dbm_user(void);
void free_dbm_user(DBMUser *user);
DBMUser *get_dbm_user(DBM *dbustat, const char *id);
int dbm_user_exists(DBM *dbustat, const char *userid);
DBMUser *fill_dbm_user_struct(datum record);
// The writer's side: formats the value of a record into buf (at most
// VK_USTATUS_BUF bytes); its length, or -1 when it does not fit or a text
// field holds the separator.
int format_dbm_user(char *buf, size_t size, const DBMUser *user);

// atoi() without its undefined overflow: optional blanks and sign, then
// digits; the value saturates at the limits of int; no digits give 0.
int vk_atoi(std::string_view text);

namespace vk {

struct LdapUnbind {
    void operator()(LDAP *ld) const noexcept { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using Ldap = std::unique_ptr<LDAP, LdapUnbind>;

struct MsgFree {
    void operator()(LDAPMessage *m) const noexcept { ldap_msgfree(m); }
};
using LdapResult = std::unique_ptr<LDAPMessage, MsgFree>;

struct ValuesFree {
    void operator()(struct berval **v) const noexcept { ldap_value_free_len(v); }
};
// The values of one attribute of an entry.
using LdapValues = std::unique_ptr<struct berval *, ValuesFree>;

struct BerFree {
    void operator()(struct berval *b) const noexcept { ber_bvfree(b); }
};
using Berval = std::unique_ptr<struct berval, BerFree>;

struct DbmClose {
    void operator()(DBM *d) const noexcept { dbm_close(d); }
};
using Dbm = std::unique_ptr<DBM, DbmClose>;

struct VkaClose {
    void operator()(VKAdminStruct *v) const noexcept { vk_closeDsConnection(v); }
};
// A handle that is closed (databases, connections, texts) unless released.
using Vka = std::unique_ptr<VKAdminStruct, VkaClose>;

struct UserFree {
    void operator()(VKUser *u) const noexcept { free_user(u); }
};
using User = std::unique_ptr<VKUser, UserFree>;

struct DbmUserFree {
    void operator()(DBMUser *u) const noexcept { free_dbm_user(u); }
};
using DbmUser = std::unique_ptr<DBMUser, DbmUserFree>;

// A NULL-terminated array of owned texts under construction: freed whole
// (vk_free_array) unless released.
class StrArray {
  public:
    StrArray() = default;
    StrArray(const StrArray &) = delete;
    StrArray &operator=(const StrArray &) = delete;
    ~StrArray() { vk_free_array(a_); }
    // Makes room for `more` texts besides those held and the end mark.
    bool reserve(size_t more);
    // Appends a copy of a directory value; false when memory runs out.
    bool push(const struct berval *v);
    size_t size() const { return n_; }
    char **release() {
        char **a = a_;
        a_ = nullptr;
        n_ = 0;
        return a;
    }

  private:
    char **a_ = nullptr;
    size_t n_ = 0, cap_ = 0;
};

// A copy of the bytes of a directory value as a text of its own (cut at an
// embedded zero byte); null when memory is exhausted.
char *dup_value(const struct berval *v);

}  // namespace vk

#endif
