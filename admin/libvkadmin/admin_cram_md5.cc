// The CRAM-MD5 bind (RFC 2195), done by hand over two SASL bind requests:
// the server sends a challenge, the client answers with its name and the
// HMAC-MD5 of the challenge keyed with the password. The password itself
// never crosses the wire.
#include <cstring>
#include <string>

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include "admin_internal.h"
#include "vkcxx.h"

namespace {

constexpr const char *kMech = "CRAM-MD5";
constexpr size_t kDigest = 16;  // MD5

}  // namespace

char *vk_cram_md5_response(const char *user, const char *secret, size_t secret_len,
                           const char *challenge, size_t challenge_len) {
    if (!user || (!secret && secret_len) || (!challenge && challenge_len)) return nullptr;
    unsigned char digest[kDigest];
    if (gnutls_hmac_fast(GNUTLS_MAC_MD5, secret ? secret : "", secret_len,
                         challenge ? challenge : "", challenge_len, digest) != 0)
        return nullptr;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string answer(user);
    answer += ' ';
    for (unsigned char b : digest) {
        answer += kHex[b >> 4];
        answer += kHex[b & 15];
    }
    explicit_bzero(digest, sizeof digest);
    return vk::dup(answer).release();
}

int _vk_ldap_sasl_cram_md5_bind_s(LDAP *ld, const char *dn, struct berval *cred,
                                  LDAPControl **serverctrls, LDAPControl **clientctrls) {
    if (!ld || !dn || !cred) return LDAP_PARAM_ERROR;

    // First step: no credentials; the server answers "in progress" with
    // its challenge.
    struct berval *challenge = nullptr;
    int rc = ldap_sasl_bind_s(ld, nullptr, kMech, nullptr, serverctrls, clientctrls, &challenge);
    vk::Berval owned_challenge(challenge);
    if (rc != LDAP_SASL_BIND_IN_PROGRESS) return rc == LDAP_SUCCESS ? LDAP_PROTOCOL_ERROR : rc;
    if (!challenge || !challenge->bv_val || challenge->bv_len == 0) return LDAP_PROTOCOL_ERROR;

    // Second step: the bind name is the identity the server looks up.
    vk::CStr answer(
        vk_cram_md5_response(dn, cred->bv_val, cred->bv_len, challenge->bv_val, challenge->bv_len));
    if (!answer) return LDAP_LOCAL_ERROR;
    struct berval response = {std::strlen(answer.get()), answer.get()};
    struct berval *final_creds = nullptr;
    rc = ldap_sasl_bind_s(ld, nullptr, kMech, &response, serverctrls, clientctrls, &final_creds);
    vk::Berval owned_final(final_creds);
    // A server that asks for a third step does not speak CRAM-MD5.
    return rc == LDAP_SASL_BIND_IN_PROGRESS ? LDAP_PROTOCOL_ERROR : rc;
}
