// What vkweb-helper does with one request: the checks, the login sessions,
// the back-off, and the decision whether anything runs. Everything that
// reaches outside (PAM, the account database, the group, the system log,
// the random source, the clock) goes through a Backend, so that the rules
// can be exercised with a stand-in.
#ifndef VK_WEB_HELPER_SERVICE_H
#define VK_WEB_HELPER_SERVICE_H

#include <optional>
#include <string>
#include <vector>

#include "group.h"
#include "protocol.h"
#include "requests.h"
#include "state.h"

namespace vkweb {

class Backend {
  public:
    virtual ~Backend() = default;
    virtual Time now() = 0;
    // `bytes` random bytes as lower-case hex.
    virtual std::string random_hex(size_t bytes) = 0;
    // Checks the password and the account through PAM. True with the login
    // that PAM settled on; false with the reason, for the log only.
    virtual bool authenticate(const std::string &user, const std::string &password,
                              const std::string &client, std::string &login, std::string &why) = 0;
    // Whether `login` is a member of the administrators' group.
    virtual bool administrator(const std::string &login) = 0;
    // The group's members, this host included; false with `error`.
    virtual bool members(std::vector<vkgroup::Member> &out, std::string &error) = 0;
    virtual vkgroup::Listing list(const std::vector<vkgroup::Member> &members, bool names) = 0;
    virtual std::vector<vkgroup::Outcome> act(vkgroup::Action action,
                                              const vkgroup::Listing &listing,
                                              const std::vector<size_t> &which) = 0;
    // Logins and logouts, and the real reason a login failed: the
    // security log.
    virtual void log_security(const std::string &line) = 0;
    // Actions on sessions and their outcomes: the administrators' log.
    virtual void log_action(const std::string &line) = 0;
};

class Service {
  public:
    explicit Service(Backend &backend, Seconds idle = LoginSessions::kIdle,
                     Seconds lifetime = LoginSessions::kLifetime)
        : backend_(backend), sessions_(idle, lifetime) {}
    // The reply to one decoded request.
    Message handle(const Message &request);

    size_t sessions() const { return sessions_.size(); }

  private:
    Message auth(const AuthRequest &r);
    std::optional<Message> auth_decide(const AuthRequest &r);
    bool auth_check(const AuthRequest &r, std::string &login, std::string &why);
    Message auth_record(const AuthRequest &r, bool passed, const std::string &login,
                        const std::string &why);
    Message whoami(const WhoAmIRequest &r);
    Message list(const ListRequest &r);
    Message act(const ActRequest &r);
    Message logout(const LogoutRequest &r);

    Backend &backend_;
    Backoff backoff_;
    LoginSessions sessions_;
    ListingCache cache_;
};

// The generic replies, the same whatever the real reason.
inline constexpr const char *kLoginFailed = "login failed";
inline constexpr const char *kOutOfOrder = "out of order";

}  // namespace vkweb

#endif
