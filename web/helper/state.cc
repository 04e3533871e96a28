#include "state.h"

#include <algorithm>

#include "requests.h"

namespace vkweb {

namespace {

Seconds whole_seconds_until(Time end, Time now) {
    if (end <= now) return Seconds{0};
    return std::chrono::ceil<Seconds>(end - now);
}

}  // namespace

Seconds Backoff::wait_after(unsigned failures) {
    if (failures == 0) return Seconds{0};
    // 2^5 = 32 is the last power under the cap.
    if (failures > 6) return kMaxWait;
    return std::min(kMaxWait, Seconds{1LL << (failures - 1)});
}

Seconds Backoff::wait(const std::string &client, Time now) const {
    auto it = clients_.find(client);
    if (it == clients_.end()) return Seconds{0};
    return whole_seconds_until(it->second.last + wait_after(it->second.failures), now);
}

bool Backoff::take_attempt(Time now, Seconds &retry) {
    while (!attempts_.empty() && attempts_.front() + Seconds{1} <= now) attempts_.pop_front();
    if (attempts_.size() >= kAttemptsPerSecond) {
        retry = std::max(Seconds{1}, whole_seconds_until(attempts_.front() + Seconds{1}, now));
        return false;
    }
    attempts_.push_back(now);
    return true;
}

void Backoff::failed(const std::string &client, Time now) {
    if (!clients_.count(client) && clients_.size() >= kMaxClients) {
        // Forgotten failures first; then the one that failed longest ago.
        std::erase_if(clients_, [now](const auto &e) { return e.second.last + kForget <= now; });
        if (clients_.size() >= kMaxClients) {
            auto oldest = std::min_element(
                clients_.begin(), clients_.end(),
                [](const auto &a, const auto &b) { return a.second.last < b.second.last; });
            clients_.erase(oldest);
        }
    }
    Entry &e = clients_[client];
    if (e.failures > 0 && e.last + kForget <= now) e.failures = 0;
    if (e.failures < 64) ++e.failures;
    e.last = now;
}

void Backoff::succeeded(const std::string &client) {
    clients_.erase(client);
}

void LoginSessions::expire(Time now) {
    std::erase_if(sessions_,
                  [this, now](const LoginSession &s) { return s.last_use + idle_ <= now; });
}

const LoginSession &LoginSessions::open(LoginSession s, Time now) {
    expire(now);
    if (sessions_.size() >= kMax) {
        auto idlest = std::min_element(
            sessions_.begin(), sessions_.end(),
            [](const LoginSession &a, const LoginSession &b) { return a.last_use < b.last_use; });
        sessions_.erase(idlest);
    }
    s.last_use = now;
    sessions_.push_back(std::move(s));
    return sessions_.back();
}

LoginSession *LoginSessions::find(std::string_view id, Time now) {
    expire(now);
    LoginSession *found = nullptr;
    for (LoginSession &s : sessions_)
        if (same_secret(s.id, id)) found = &s;
    if (found) found->last_use = now;
    return found;
}

void LoginSessions::close(std::string_view id) {
    std::erase_if(sessions_, [id](const LoginSession &s) { return same_secret(s.id, id); });
}

const std::vector<std::string> *ListingCache::kept(Time now, std::chrono::milliseconds keep) const {
    if (!fields_ || now < at_ || now - at_ >= keep) return nullptr;
    return &*fields_;
}

void ListingCache::put(std::vector<std::string> fields, Time now) {
    fields_ = std::move(fields);
    at_ = now;
}

}  // namespace vkweb
