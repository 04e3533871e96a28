#include "system.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <security/pam_appl.h>
#include <sys/random.h>
#include <syslog.h>

#include "duration.h"
#include "limits_report.h"
#include "members.h"
#include "session_limits.h"
#include "utils.h"

namespace vkweb {

namespace {

struct Conversation {
    const std::string *password;
};

void wipe_and_free(char *text) {
    if (!text) return;
    ::explicit_bzero(text, std::strlen(text));
    std::free(text);
}

void free_responses(pam_response *r, int n) {
    for (int i = 0; i < n; ++i) wipe_and_free(r[i].resp);
    std::free(r);
}

// Answers PAM's password prompt with the password given, and nothing
// else: a module that asks for more than a password (a second factor, a
// new password) cannot be served through the web, and fails the login.
int converse(int n, const struct pam_message **msg, struct pam_response **resp, void *data) {
    if (n <= 0 || n > PAM_MAX_NUM_MSG || !msg || !resp || !data) return PAM_CONV_ERR;
    const auto *conv = static_cast<const Conversation *>(data);
    auto *r =
        static_cast<pam_response *>(std::calloc(static_cast<size_t>(n), sizeof(pam_response)));
    if (!r) return PAM_BUF_ERR;
    for (int i = 0; i < n; ++i) {
        switch (msg[i]->msg_style) {
            case PAM_PROMPT_ECHO_OFF:
                r[i].resp = ::strdup(conv->password->c_str());
                if (!r[i].resp) {
                    free_responses(r, n);
                    return PAM_BUF_ERR;
                }
                break;
            case PAM_ERROR_MSG:
            case PAM_TEXT_INFO:
                break;
            default:
                free_responses(r, n);
                return PAM_CONV_ERR;
        }
    }
    *resp = r;
    return PAM_SUCCESS;
}

// The back-off of failed logins is the helper's own: PAM's delay after a
// failure would only hold up the requests of everyone else.
void no_delay(int, unsigned, void *) {}

class Pam {
  public:
    Pam() = default;
    Pam(const Pam &) = delete;
    Pam &operator=(const Pam &) = delete;
    ~Pam() {
        if (h) ::pam_end(h, status);
    }
    pam_handle_t *h = nullptr;
    int status = PAM_SUCCESS;
};

}  // namespace

std::string SystemBackend::random_hex(size_t bytes) {
    std::string raw(bytes, '\0');
    size_t got = 0;
    while (got < bytes) {
        ssize_t n = ::getrandom(raw.data() + got, bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // No secret can be made: no session may be opened either.
            ::syslog(LOG_ERR, "getrandom: %s", std::strerror(errno));
            std::exit(1);
        }
        got += static_cast<size_t>(n);
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * bytes);
    for (char c : raw) {
        auto u = static_cast<unsigned char>(c);
        hex += kDigits[u >> 4];
        hex += kDigits[u & 15];
    }
    ::explicit_bzero(raw.data(), raw.size());
    return hex;
}

bool SystemBackend::authenticate(const std::string &user, const std::string &password,
                                 const std::string &client, std::string &login, std::string &why) {
    Conversation data{&password};
    const pam_conv conv{converse, &data};
    Pam pam;
    pam.status = ::pam_start(kPamService, user.c_str(), &conv, &pam.h);
    if (pam.status != PAM_SUCCESS) {
        why = std::string("PAM did not start: ") + ::pam_strerror(pam.h, pam.status);
        return false;
    }
    ::pam_set_item(pam.h, PAM_RHOST, client.c_str());
    ::pam_set_item(pam.h, PAM_FAIL_DELAY, reinterpret_cast<const void *>(&no_delay));
    pam.status = ::pam_authenticate(pam.h, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (pam.status != PAM_SUCCESS) {
        why = ::pam_strerror(pam.h, pam.status);
        return false;
    }
    pam.status = ::pam_acct_mgmt(pam.h, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (pam.status != PAM_SUCCESS) {
        why = std::string("account: ") + ::pam_strerror(pam.h, pam.status);
        return false;
    }
    const void *item = nullptr;
    if (::pam_get_item(pam.h, PAM_USER, &item) != PAM_SUCCESS || !item) {
        why = "PAM named no user";
        return false;
    }
    login = static_cast<const char *>(item);
    return true;
}

bool in_group(const std::string &login, gid_t gid, const std::string &group) {
    const struct group *g = ::getgrnam(group.c_str());
    if (!g) return false;
    const gid_t wanted = g->gr_gid;
    if (gid == wanted) return true;
    // An account in more than this many groups is no account of ours.
    constexpr int kMaxGroups = 65536;
    std::vector<gid_t> groups(64);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(login.c_str(), gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<size_t>(count));
            break;
        }
        if (count <= static_cast<int>(groups.size()) || count > kMaxGroups) return false;
        groups.resize(static_cast<size_t>(count));
    }
    return std::find(groups.begin(), groups.end(), wanted) != groups.end();
}

bool SystemBackend::administrator(const std::string &login) {
    const struct passwd *pw = ::getpwnam(login.c_str());
    return pw && in_group(login, pw->pw_gid, config_.admin_group);
}

bool SystemBackend::members(std::vector<vkgroup::Member> &out, std::string &error) {
    vkgroup::Members all;
    if (!vkgroup::read_members(vkgroup::kMembersFile, all, error)) return false;
    if (all.list.empty()) {
        error = "this host has no name";
        return false;
    }
    out = std::move(all.list);
    return true;
}

vkgroup::Options SystemBackend::options(bool names) const {
    vkgroup::Options o;
    o.parallel = config_.parallel;
    o.deadline_s = config_.deadline;
    o.names = names;
    return o;
}

vkgroup::Listing SystemBackend::list(const std::vector<vkgroup::Member> &members, bool names) {
    listed_at_ = std::chrono::steady_clock::now();
    return vkgroup::list_sessions(members, vkgroup::Filter{}, options(names));
}

std::string limits_summary(const vkgroup::Limits &limits) {
    using vk::human_duration;
    std::string set;
    auto one = [&set](const char *name, const std::optional<int64_t> &s) {
        if (!s) return;
        if (!set.empty()) set += ", ";
        set += std::string(name) + " " + human_duration(*s);
    };
    one("disconnected", limits.disconnected);
    one("idle", limits.idle);
    one("lifetime", limits.lifetime);
    if (limits.lifetime) set += " (warned " + human_duration(limits.warn) + " ahead)";
    if (set.empty()) return "no limit set: nothing is ended";
    set += limits.action == vkgroup::LimitAction::Suspend ? "; suspend" : "; terminate";
    set += "; at most " + std::to_string(limits.max_per_run) + " a run";
    const std::pair<const char *, const std::vector<std::string> *> exempt[] = {
        {"exempt-user", &limits.exempt_user},
        {"exempt-token", &limits.exempt_token},
        {"exempt-display", &limits.exempt_display}};
    for (const auto &[key, patterns] : exempt)
        for (const std::string &p : *patterns) set += "; " + std::string(key) + " " + p;
    return set;
}

SystemBackend::GroupLimits SystemBackend::limits(const std::vector<vkgroup::Member> &members) {
    GroupLimits out;
    vkgroup::Limits local;
    std::string error;
    bool readable = vkgroup::read_limits(vkgroup::kLimitsFile, local, error);
    out.summary = readable ? limits_summary(local) : error;
    // The page waits for the listing and the limits together: the limits
    // get what is left of the group's deadline, and nothing when it is
    // spent (their times are then not shown).
    auto spent = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                  listed_at_);
    vkgroup::Options o = options(false);
    o.deadline_s = config_.deadline - static_cast<int>(spent.count()) - 1;
    if (o.deadline_s < 1) {
        for (const vkgroup::Member &m : members) {
            vkgroup::MemberLimits ml;
            ml.answer.member = m;
            ml.answer.reason = "not asked: the listing took the whole deadline";
            out.members.push_back(std::move(ml));
        }
        return out;
    }
    if (members.empty()) return out;
    // The runs measure a moment after this: the time left before a limit
    // ends a session may show a second more than it is, never less.
    out.now = static_cast<int64_t>(::time(nullptr));
    out.members = vkgroup::group_limits(members, o, local);
    if (!readable)
        for (vkgroup::MemberLimits &ml : out.members)
            if (ml.answer.member.local) {
                // This host's dry run ran without a file it could read.
                ml.answer.answered = false;
                ml.answer.reason = error;
                ml.entries.clear();
            }
    return out;
}

std::vector<vkgroup::Outcome> SystemBackend::act(Action action, const vkgroup::Listing &listing,
                                                 const std::vector<size_t> &which) {
    const vkgroup::Action group_action = action == Action::Suspend  ? vkgroup::Action::Suspend
                                         : action == Action::Resume ? vkgroup::Action::Resume
                                                                    : vkgroup::Action::Terminate;
    return vkgroup::act(group_action, listing, which, options(false));
}

void SystemBackend::log_security(const std::string &line) {
    ::syslog(LOG_AUTHPRIV | LOG_NOTICE, "%s", line.c_str());
}

void SystemBackend::log_action(const std::string &line) {
    log_admin("vkweb", "%s", line.c_str());
}

}  // namespace vkweb
