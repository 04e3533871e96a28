// What vkweb-helper does with one request: the checks, the login sessions,
// the back-off, and the decision whether anything runs. Everything that
// reaches outside (PAM, the account database, the group, the system log,
// the random source, the clock) goes through a Backend, so that the rules
// can be exercised with a stand-in.
#ifndef VK_WEB_HELPER_SERVICE_H
#define VK_WEB_HELPER_SERVICE_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "group.h"
#include "limits_report.h"
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
    // The dry run of the session limits on `members` (those that have just
    // answered a listing), within what is left of the listing's deadline:
    // it reads and measures, and changes nothing. `summary`: this host's
    // limits file for people; `now`: when the runs were made (seconds since
    // the epoch).
    struct GroupLimits {
        std::vector<vkgroup::MemberLimits> members;
        std::string summary;
        int64_t now = 0;
    };
    virtual GroupLimits limits(const std::vector<vkgroup::Member> &members) = 0;
    virtual std::vector<vkgroup::Outcome> act(Action action, const vkgroup::Listing &listing,
                                              const std::vector<size_t> &which) = 0;
    // Logins and logouts, and the real reason a login failed: the
    // security log.
    virtual void log_security(const std::string &line) = 0;
    // Actions on sessions and their outcomes: the administrators' log.
    virtual void log_action(const std::string &line) = 0;
};

// What becomes of a request. Now: its reply is ready. Listing: a fresh
// listing of the group is due; unless `kept`, the request waits for it.
// Work: an action, to run apart. What may take as long as the group's
// deadline runs apart from the requests that do not (the login checks, a
// listing kept), so that these never wait behind it.
struct Plan {
    enum class Kind { Now, Listing, Work };
    Kind kind = Kind::Now;
    Message reply;      // Now; Listing when kept
    ActRequest act;     // Work: the action, checked
    std::string login;  // Work: who asks
    // Listing: the kept listing, young enough to show, is the reply now,
    // and the fresh one is fetched for the requests after it.
    bool kept = false;
    // Now or Listing when kept, with encoded_listings(): the listing kept
    // as its reply is sent, in place of `reply`.
    std::shared_ptr<const std::string> wire;
    // Listing: this request starts the one fresh listing (fresh_listing(),
    // run apart, its reply given to listed()); otherwise one is on its way.
    bool fetch = false;
};

class Service {
  public:
    explicit Service(Backend &backend, Seconds idle = LoginSessions::kIdle,
                     Seconds lifetime = LoginSessions::kLifetime,
                     Seconds keep = ListingCache::kKeep)
        : backend_(backend), sessions_(idle, lifetime), keep_(keep) {}
    // The reply to one decoded request, the slow parts run in line.
    Message handle(const Message &request);

    // Checks `request` and answers what can be answered at once. A listing
    // kept for less than ListingCache::kFresh is answered as it is, and
    // from kAhead on a fresh one is fetched meanwhile unless one is on its
    // way already (planned here and not yet listed(), or `refreshing`: the
    // caller's own). While one is on its way, the kept listing is answered
    // up to `keep`. A request waits for a fresh listing only when none is
    // kept, when the one kept is over `keep`, or when it is over kFresh
    // and none is on its way (no page asked for it for a while).
    Plan begin(const Message &request, bool refreshing = false);
    // The group's listing, as a reply; it may take the group's deadline.
    Message fresh_listing();
    // The action planned, as a reply; it may take the group's deadline.
    Message work(const Plan &plan);
    // The actions done so far.
    unsigned actions() const { return actions_; }
    // A fresh listing's reply, to keep unless an action was done since it
    // began (`since`: actions() then): it may not show what that changed.
    // Whatever it is (a refusal too), the listing is no longer on its way.
    void listed(const Message &reply, unsigned since);
    // Listings kept are answered as bytes made once (Plan::wire) rather
    // than copied into each reply and encoded again: with ten thousand
    // sessions, that copy would be most of this helper's work for a page.
    void encoded_listings(bool on) { encoded_ = on; }
    // Whether a fresh listing planned here is on its way.
    bool refreshing() const { return refreshing_; }
    // An action is done: the listing kept shows what it changed no more.
    void acted() {
        cache_.clear();
        wire_.reset();
        ++actions_;
    }

    size_t sessions() const { return sessions_.size(); }

  private:
    Message auth(const AuthRequest &r);
    std::optional<Message> auth_decide(const AuthRequest &r);
    bool auth_check(const AuthRequest &r, std::string &login, std::string &why);
    Message auth_record(const AuthRequest &r, bool passed, const std::string &login,
                        const std::string &why);
    Message whoami(const WhoAmIRequest &r);
    Plan list(const ListRequest &r, bool refreshing);
    void answer_kept(Plan &p, const std::vector<std::string> &kept);
    Message logout(const LogoutRequest &r);

    Backend &backend_;
    Backoff backoff_;
    LoginSessions sessions_;
    ListingCache cache_;
    Seconds keep_;
    unsigned actions_ = 0;
    bool refreshing_ = false;
    bool encoded_ = false;
    std::shared_ptr<const std::string> wire_;  // the listing kept, encoded
};

// The generic replies, the same whatever the real reason.
inline constexpr const char *kLoginFailed = "login failed";
inline constexpr const char *kOutOfOrder = "out of order";
inline constexpr const char *kWorkFailed = "the helper's work for this request failed";

}  // namespace vkweb

#endif
