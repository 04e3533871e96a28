// The helper's backend on a real server: PAM, the account and group
// databases, the group module, the system log and the kernel's random
// source.
#ifndef VK_WEB_HELPER_SYSTEM_H
#define VK_WEB_HELPER_SYSTEM_H

#include <chrono>
#include <string>

#include "config.h"
#include "service.h"

namespace vkweb {

// The PAM service that checks the web's logins (/etc/pam.d/vkweb).
inline constexpr const char *kPamService = "vkweb";

class SystemBackend : public Backend {
  public:
    explicit SystemBackend(const Config &config) : config_(config) {}
    Time now() override { return Clock::now(); }
    std::string random_hex(size_t bytes) override;
    bool authenticate(const std::string &user, const std::string &password,
                      const std::string &client, std::string &login, std::string &why) override;
    bool administrator(const std::string &login) override;
    bool members(std::vector<vkgroup::Member> &out, std::string &error) override;
    vkgroup::Listing list(const std::vector<vkgroup::Member> &members, bool names) override;
    GroupLimits limits(const std::vector<vkgroup::Member> &members) override;
    std::vector<vkgroup::Outcome> act(Action action, const vkgroup::Listing &listing,
                                      const std::vector<size_t> &which) override;
    void log_security(const std::string &line) override;
    void log_action(const std::string &line) override;

  private:
    vkgroup::Options options(bool names) const;
    Config config_;
    std::chrono::steady_clock::time_point listed_at_{};  // when the last listing began
};

// The limits of a limits file in one line, for people: "disconnected 8h,
// lifetime 7d (warned 15m ahead); terminate; at most 20 a run; exempt-user
// root".
std::string limits_summary(const vkgroup::Limits &limits);

// Whether `login` (with primary group `gid`) belongs to the group named
// `group`, as its primary group or a supplementary one.
bool in_group(const std::string &login, gid_t gid, const std::string &group);

}  // namespace vkweb

#endif
