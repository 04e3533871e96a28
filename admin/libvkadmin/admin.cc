// The administration connection: its configuration file, the bound LDAP
// connection to the directory server and the two status databases.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include "admin_internal.h"
#include "vkcxx.h"

int DStimeout = 10;

namespace {

// Lines of the configuration and password files are read in pieces of at
// most 511 characters (newline included).
constexpr int kLineBuf = 512;

// The connection whose server let a request run into admin.server.timeout.
// Each request waits up to that bound: a server that took the bind and then
// stopped answering would cost it once per look-up, and a listing looks up
// every session. After one such request the connection counts as absent for
// the rest of its life, exactly as if no directory were configured.
const LDAP *unresponsive = nullptr;

// A copy that cannot fail (safe_malloc ends the process instead).
char *owned_copy(const char *text) {
    size_t n = std::strlen(text);
    char *copy = static_cast<char *>(safe_malloc(n + 1));
    std::memcpy(copy, text, n + 1);
    return copy;
}

void replace_text(char *&field, const char *value) {
    char *copy = owned_copy(value);
    std::free(field);
    field = copy;
}

// Passwords do not stay behind in freed memory.
void free_secret(char *secret) {
    if (!secret) return;
    explicit_bzero(secret, std::strlen(secret));
    std::free(secret);
}

const char *show(const char *s) {
    return s ? s : "(null)";
}

}  // namespace

int vk_atoi(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) return static_cast<int>(-v);
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

// ---- configuration ----------------------------------------------------------------------------

VKAdmin allocate_vka(void) {
    auto *vka = static_cast<VKAdmin>(safe_malloc(sizeof(VKAdminStruct)));
    vka->authmech = VK_AUTH_CRAM_MD5;
    return vka;
}

void free_vka(VKAdmin vka) {
    if (!vka) return;
    for (char *t : {vka->server_name, vka->user_name, vka->subtree, vka->defaultlocale,
                    vka->dstatus_fname, vka->ustatus_fname, vka->referral_name})
        std::free(t);
    free_secret(vka->cred);
    std::free(vka);
}

int DSauth(const char *mech) {
    int ret = VK_AUTH_CRAM_MD5;
    if (mech && *mech) {
        dprintf("DSauth=%s", mech);
        if (std::strcmp(mech, "CRAM_MD5") == 0)
            ret = VK_AUTH_CRAM_MD5;
        else if (std::strcmp(mech, "SIMPLE") == 0)
            ret = VK_AUTH_SIMPLE;
        else
            ret = -1;
    }
    dprintf("DSauth ret=%d", ret);
    return ret;
}

void set_vka_val(VKAdmin vka, const char *key, const char *value) {
    if (!vka || !key || !value) return;
    // The first key that matches is applied, in this order.
    if (std::strcmp(key, "admin.dstatus.dbfile") == 0) {
        replace_text(vka->dstatus_fname, value);
    } else if (std::strcmp(key, "admin.ustatus.dbfile") == 0) {
        replace_text(vka->ustatus_fname, value);
    } else if (std::strcmp(key, "admin.server.name") == 0) {
        replace_text(vka->server_name, value);
    } else if (std::strcmp(key, "admin.server.port") == 0) {
        if (is_numeric(value)) vka->server_port = vk_atoi(value);
    } else if (std::strcmp(key, "admin.user.name") == 0) {
        replace_text(vka->user_name, value);
    } else if (std::strcmp(key, "admin.subtree") == 0) {
        replace_text(vka->subtree, value);
    } else if (std::strcmp(key, "admin.defaultlocale") == 0) {
        replace_text(vka->defaultlocale, value);
    } else if (std::strcmp(key, "admin.debug") == 0) {
        // At once: the rest of the file and the connection are traced.
        set_gdebug(value);
    } else if (std::strcmp(key, "admin.server.timeout") == 0) {
        if (is_numeric(value) && vk_atoi(value) >= 0) DStimeout = vk_atoi(value);
    } else if (std::strcmp(key, "admin.server.authmech") == 0) {
        int mech = DSauth(value);
        if (mech < 0)
            dprintf("invalid authentication mechanism specified in %s", VK_ADMIN_CONFIG_FILE);
        else
            vka->authmech = mech;
    }
}

int read_config_file(VKAdmin vka, const char *filename) {
    vk::File f(filename ? std::fopen(filename, "r") : nullptr);
    if (!f) {
        int err = filename ? errno : ENOENT;
        dprintf("read_config_file(): Could not open config file (%s), error %d\n", show(filename),
                err);
        return vk_errno2vkerr(err, VK_ERR_FILE_ACCESS);
    }
    char line[kLineBuf];
    while (std::fgets(line, sizeof line, f.get())) {
        // Comments ("#" in the first column only) and empty lines are
        // skipped by parse_key_and_value.
        char *key = nullptr, *value = nullptr;
        parse_key_and_value(line, &key, &value);
        vk::CStr k(key), v(value);
        if (k && v) set_vka_val(vka, k.get(), v.get());
    }
    return VK_OK;
}

int check_vka(VKAdmin vka) {
    if (!vka || !vka->server_name || !vka->server_port || !vka->subtree || !vka->dstatus_fname ||
        !vka->ustatus_fname) {
        dprintf("check_vka(): vka - important fields are not filled.\n");
        return -1;
    }
    if (vka->mode == VK_MODE_ANONYMOUS) return 0;
    if (!vka->user_name) {
        dprintf("check_vka(): vka - user fields are not filled.\n");
        return -1;
    }
    return 0;
}

char *scramble_text(const char *text) {
    if (!text) return nullptr;
    char *out = ::strdup(text);
    if (!out) return nullptr;
    for (char *p = out; *p; ++p) {
        char c = *p;
        if ((c >= 'a' && c <= 'm') || (c >= 'A' && c <= 'M'))
            *p = static_cast<char>(c + 13);
        else if ((c >= 'n' && c <= 'z') || (c >= 'N' && c <= 'Z'))
            *p = static_cast<char>(c - 13);
    }
    return out;
}

char *read_passwd_file(const char *filename, int *errorcode) {
    int ignored = 0;
    int &code = errorcode ? *errorcode : ignored;
    code = VK_ERR_INTERNAL;
    vk::File f(filename ? std::fopen(filename, "r") : nullptr);
    if (!f) {
        code = vk_errno2vkerr(filename ? errno : ENOENT, VK_ERR_FILE_ACCESS);
        return nullptr;
    }
    char line[kLineBuf];
    char *got = std::fgets(line, sizeof line, f.get());
    char *trimmed = got ? strip_leading_and_trailing_whitespace(line) : nullptr;
    explicit_bzero(line, sizeof line);
    if (!trimmed) return nullptr;
    char *password = scramble_text(trimmed);
    free_secret(trimmed);
    if (password) code = VK_OK;
    return password;
}

// ---- connection -------------------------------------------------------------------------------

LDAP *_vk_LDAPopen(const char *user, const char *passwd, const char *srv, int port, int authmech,
                   int *return_code) {
    int ignored = 0;
    int &code = return_code ? *return_code : ignored;
    dlprintf("d", "connecting to ldap://%s:%d as |%s|\n", show(srv), port, show(user));

    errno = 0;
    vk::Ldap ld(ldap_init(srv, port));
    if (!ld) {
        dprintf("open_connection(): failed to connect to DS server %s - %s\n", show(srv),
                std::strerror(errno));
        code = VK_ERR_ADMIN_DB;
        return nullptr;
    }
    int version = LDAP_VERSION3;
    int rc = ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
    if (rc != LDAP_OPT_SUCCESS) {
        dprintf("open_connection(): ");
        dprintf("failed to establish ldapv3 session with server %s - %s.\n", show(srv),
                ldap_err2string(rc));
        code = VK_ERR_ADMIN_DB;
        return nullptr;
    }
    rc = ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    if (rc != LDAP_OPT_SUCCESS) {
        dprintf("open_connection(): ");
        dprintf("failed to turn off the follow referral option with server %s - %s.\n", show(srv),
                ldap_err2string(rc));
        code = VK_ERR_ADMIN_DB;
        return nullptr;
    }
    // The calls are synchronous: without a limit, a server that accepts the
    // connection and never answers (stopped, hung, a firewall that drops
    // packets) would hold the administrator's command for ever. Both the
    // TCP connection and every request wait at most DStimeout seconds.
    if (DStimeout > 0) {
        struct timeval limit = {DStimeout, 0};
        for (int opt : {LDAP_OPT_NETWORK_TIMEOUT, LDAP_OPT_TIMEOUT}) {
            rc = ldap_set_option(ld.get(), opt, &limit);
            if (rc != LDAP_OPT_SUCCESS) {
                dprintf("open_connection(): ");
                dprintf("failed to set the time limit of %d seconds with server %s - %s.\n",
                        DStimeout, show(srv), ldap_err2string(rc));
                code = VK_ERR_ADMIN_DB;
                return nullptr;
            }
        }
    }

    if (authmech == VK_AUTH_SIMPLE) {
        struct berval cred = {0, nullptr};
        if (passwd) {
            cred.bv_len = std::strlen(passwd);
            cred.bv_val = const_cast<char *>(passwd);
        }
        rc = ldap_sasl_bind_s(ld.get(), user, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    } else if (authmech == VK_AUTH_CRAM_MD5) {
        if (!passwd) {
            dprintf("open_connection(): Could not bind to DS server %s - %s\n", show(srv),
                    ldap_err2string(LDAP_SUCCESS));
            code = VK_ERR_AUTH_FAILED;
            return nullptr;
        }
        struct berval cred = {std::strlen(passwd), const_cast<char *>(passwd)};
        rc = _vk_ldap_sasl_cram_md5_bind_s(ld.get(), user, &cred, nullptr, nullptr);
    } else {
        dprintf("open_connection(): invalid authentication mechanism (=%d)", authmech);
        code = VK_ERR_AUTH_FAILED;
        return nullptr;
    }
    if (rc != LDAP_SUCCESS) {
        code = rc == LDAP_INVALID_CREDENTIALS ? VK_ERR_AUTH_FAILED : VK_ERR_INTERNAL;
        dprintf("open_connection(): Could not bind to DS server %s - %s\n", show(srv),
                ldap_err2string(rc));
        return nullptr;
    }
    return ld.release();
}

namespace {

// The databases must exist: they are never created here.
DBM *open_dbm(const char *dbname, int mode) {
    if (!dbname) return nullptr;
    int flags = mode == VK_MODE_ANONYMOUS ? O_RDONLY : O_RDWR;
    return dbm_open(const_cast<char *>(dbname), flags, 0664);
}

}  // namespace

DBM *open_desktop_dbm(const char *dbname, int mode) {
    return open_dbm(dbname, mode);
}

DBM *open_user_dbm(const char *dbname, int mode) {
    return open_dbm(dbname, mode);
}

int vk_openDsConnection(int mode, const char *spec_user, const char *passwd,
                        const char *config_file, const char *srv, VKAdmin *vkap) {
    if (vkap) *vkap = nullptr;
    // Whatever fails below, the handle closes what it holds and is freed.
    vk::Vka vka(allocate_vka());
    vka->mode = mode;

    const char *conf = config_file ? config_file : VK_ADMIN_CONFIG_FILE;
    if (access(conf, F_OK) != 0) return vk_errno2vkerr(errno, VK_ERR_FILE_ACCESS);
    if (int rc = read_config_file(vka.get(), conf); rc != VK_OK) {
        dprintf("open_connection(): Could not read config file (%s)\n", conf);
        return rc;
    }
    if (check_vka(vka.get()) != 0) {
        dprintf("open_connection(): Config file (%s) contents are incomplete\n", conf);
        return VK_ERR_INTERNAL;
    }
    if (srv) {
        char *copy = ::strdup(srv);
        if (!copy) {
            dprintf("open_connection(): strdup server specified failed");
            return VK_ERR_NO_MEMORY;
        }
        std::free(vka->server_name);
        vka->server_name = copy;
    }

    switch (mode) {
        case VK_MODE_ANONYMOUS:
            vka->authmech = VK_AUTH_SIMPLE;
            replace_text(vka->user_name, "cn=anonymous");
            break;
        case VK_MODE_PASSWORD:
            if (passwd) vka->cred = owned_copy(passwd);
            break;
        case VK_MODE_PASSWORD_FILE: {
            int rc = VK_ERR_INTERNAL;
            vka->cred = read_passwd_file(VK_ADMIN_PASSWD_FILE, &rc);
            if (!vka->cred) {
                dprintf("open_connection(): Could not read VK password file (%s)\n",
                        VK_ADMIN_PASSWD_FILE);
                return rc;
            }
            break;
        }
        case VK_MODE_USER:
            std::free(vka->user_name);
            vka->user_name = spec_user ? owned_copy(spec_user) : nullptr;
            if (passwd) vka->cred = owned_copy(passwd);
            break;
        default:
            break;
    }

    int rc = VK_ERR_INTERNAL;
    vka->ld = _vk_LDAPopen(vka->user_name, vka->cred, vka->server_name, vka->server_port,
                           vka->authmech, &rc);
    if (!vka->ld) return rc;
    vka->dstat_db = open_desktop_dbm(vka->dstatus_fname, mode);
    if (!vka->dstat_db) {
        dprintf("open_connection(): Could not open dstatus DB at (%s)\n", vka->dstatus_fname);
        return VK_ERR_DBM_OPEN;
    }
    vka->ustat_db = open_user_dbm(vka->ustatus_fname, mode);
    if (!vka->ustat_db) {
        dprintf("open_connection(): Could not open ustatus DB at (%s)\n", vka->ustatus_fname);
        return VK_ERR_DBM_OPEN;
    }
    if (vkap) *vkap = vka.release();
    return VK_OK;
}

VKAdmin open_connection(int mode, const char *spec_user, const char *passwd,
                        const char *config_file, int *return_code) {
    VKAdmin vka = nullptr;
    int rc = vk_openDsConnection(mode, spec_user, passwd, config_file, nullptr, &vka);
    if (return_code) *return_code = rc == VK_OK ? VK_OK : VK_ERR_INTERNAL;
    return vka;
}

void vk_closeDsConnection(VKAdmin vka) {
    if (!vka) return;
    vk::Dbm(vka->dstat_db).reset();
    vk::Dbm(vka->ustat_db).reset();
    if (vka->ld == unresponsive || vka->referral_ld == unresponsive) unresponsive = nullptr;
    vk::Ldap(vka->ld).reset();
    vk::Ldap(vka->referral_ld).reset();
    free_vka(vka);
}

int close_connection(VKAdmin vka) {
    vk_closeDsConnection(vka);
    return VK_OK;
}

// ---- search -----------------------------------------------------------------------------------

LDAPMessage *search_for_entries(LDAP *ld, const char *search_filter, const char *subtree,
                                const char *const *attrs, int attrsonly, int restrictions) {
    if (ld && ld == unresponsive) return nullptr;
    int scope = restrictions == 2 ? LDAP_SCOPE_ONELEVEL : LDAP_SCOPE_SUBTREE;
    LDAPMessage *raw = nullptr;
    // The library does not change the attribute list it is given.
    int rc = ldap_search_ext_s(ld, subtree, scope, search_filter, const_cast<char **>(attrs),
                               attrsonly, nullptr, nullptr, nullptr, 0, &raw);
    vk::LdapResult res(raw);
    if (rc == LDAP_TIMEOUT) {
        unresponsive = ld;
        dprintf(
            "search_for_entries(): LDAP search failed - %s; the directory is not asked "
            "again on this connection\n",
            ldap_err2string(rc));
        return nullptr;
    }
    if (rc != LDAP_SUCCESS) {
        dprintf("search_for_entries(): LDAP search failed - %s\n", ldap_err2string(rc));
        return nullptr;
    }
    if (restrictions == 1) {
        int n = ldap_count_entries(ld, res.get());
        if (n <= 0) return nullptr;
        if (n > 1) {
            dprintf(
                "search_for_entries(): Found multiple matching entries, was expecting a single "
                "match");
            return nullptr;
        }
    }
    return res.release();
}
