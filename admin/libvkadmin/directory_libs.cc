// The directory's client libraries, loaded when the directory is first used.
//
// The library needs the LDAP client library (and GnuTLS, for the HMAC of
// the CRAM-MD5 bind) only to talk to the directory: registered names in the
// table, the -n selection. Linked into the program, they and the dozen
// libraries they pull in are mapped and relocated at every start: about ten
// milliseconds per run, more than reading a hundred sessions takes, and
// paid also on a server without a directory and by every script that runs
// vksession in a loop. So the few functions of theirs that the library
// calls are defined here; each loads its library (by the soname found at
// build time) on its first call and hands the call on. A library that
// cannot be loaded makes the call fail as an unreachable directory would.
#include <dlfcn.h>

#include "admin_internal.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

namespace {

// RTLD_LOCAL: the library's symbols stand in for nobody else's (ours above
// all); RTLD_NOW: a library that cannot be completed fails here, at once.
void *load(const char *soname) {
    return ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
}

void *ldap_library() {
    static void *handle = load(VK_SONAME_LDAP);
    return handle;
}

void *lber_library() {
    static void *handle = load(VK_SONAME_LBER);
    return handle;
}

void *gnutls_library() {
    static void *handle = load(VK_SONAME_GNUTLS);
    return handle;
}

template <typename F>
F *resolve(void *library, const char *name) {
    return library ? reinterpret_cast<F *>(::dlsym(library, name)) : nullptr;
}

}  // namespace

// The real function `fn` of `library`, looked up once.
#define VK_REAL(library, fn) static auto *const real = resolve<decltype(fn)>(library(), #fn)

extern "C" {

LDAP *ldap_init(LDAP_CONST char *host, int port) {
    VK_REAL(ldap_library, ldap_init);
    return real ? real(host, port) : nullptr;
}

int ldap_set_option(LDAP *ld, int option, LDAP_CONST void *invalue) {
    VK_REAL(ldap_library, ldap_set_option);
    return real ? real(ld, option, invalue) : LDAP_OPT_ERROR;
}

int ldap_sasl_bind_s(LDAP *ld, LDAP_CONST char *dn, LDAP_CONST char *mechanism, struct berval *cred,
                     LDAPControl **serverctrls, LDAPControl **clientctrls,
                     struct berval **servercredp) {
    VK_REAL(ldap_library, ldap_sasl_bind_s);
    return real ? real(ld, dn, mechanism, cred, serverctrls, clientctrls, servercredp)
                : LDAP_SERVER_DOWN;
}

int ldap_search_ext_s(LDAP *ld, LDAP_CONST char *base, int scope, LDAP_CONST char *filter,
                      char **attrs, int attrsonly, LDAPControl **serverctrls,
                      LDAPControl **clientctrls, struct timeval *timeout, int sizelimit,
                      LDAPMessage **res) {
    VK_REAL(ldap_library, ldap_search_ext_s);
    return real ? real(ld, base, scope, filter, attrs, attrsonly, serverctrls, clientctrls, timeout,
                       sizelimit, res)
                : LDAP_SERVER_DOWN;
}

int ldap_count_entries(LDAP *ld, LDAPMessage *chain) {
    VK_REAL(ldap_library, ldap_count_entries);
    return real ? real(ld, chain) : -1;
}

LDAPMessage *ldap_first_entry(LDAP *ld, LDAPMessage *chain) {
    VK_REAL(ldap_library, ldap_first_entry);
    return real ? real(ld, chain) : nullptr;
}

LDAPMessage *ldap_next_entry(LDAP *ld, LDAPMessage *entry) {
    VK_REAL(ldap_library, ldap_next_entry);
    return real ? real(ld, entry) : nullptr;
}

struct berval **ldap_get_values_len(LDAP *ld, LDAPMessage *entry, LDAP_CONST char *target) {
    VK_REAL(ldap_library, ldap_get_values_len);
    return real ? real(ld, entry, target) : nullptr;
}

int ldap_count_values_len(struct berval **vals) {
    VK_REAL(ldap_library, ldap_count_values_len);
    return real ? real(vals) : 0;
}

void ldap_value_free_len(struct berval **vals) {
    VK_REAL(ldap_library, ldap_value_free_len);
    if (real) real(vals);
}

int ldap_msgfree(LDAPMessage *lm) {
    VK_REAL(ldap_library, ldap_msgfree);
    return real ? real(lm) : -1;
}

char *ldap_err2string(int err) {
    VK_REAL(ldap_library, ldap_err2string);
    static char unavailable[] = "LDAP client library not available";
    return real ? real(err) : unavailable;
}

int ldap_unbind_ext_s(LDAP *ld, LDAPControl **serverctrls, LDAPControl **clientctrls) {
    VK_REAL(ldap_library, ldap_unbind_ext_s);
    return real ? real(ld, serverctrls, clientctrls) : LDAP_SERVER_DOWN;
}

void ber_bvfree(struct berval *bv) {
    VK_REAL(lber_library, ber_bvfree);
    if (real) real(bv);
}

int gnutls_hmac_fast(gnutls_mac_algorithm_t algorithm, const void *key, size_t keylen,
                     const void *ptext, size_t ptext_len, void *digest) {
    VK_REAL(gnutls_library, gnutls_hmac_fast);
    return real ? real(algorithm, key, keylen, ptext, ptext_len, digest) : GNUTLS_E_INTERNAL_ERROR;
}

}  // extern "C"
