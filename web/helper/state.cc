#include "state.h"

#include <algorithm>
#include <arpa/inet.h>

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

std::string Backoff::source_of(const std::string &address) {
    unsigned char a[16];
    if (::inet_pton(AF_INET6, address.c_str(), a) != 1) return address;
    char text[INET6_ADDRSTRLEN] = {};
    static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::equal(a, a + 12, kMapped)) {
        // An IPv4 client of a socket that listens on IPv6.
        if (!::inet_ntop(AF_INET, a + 12, text, sizeof text)) return address;
        return text;
    }
    std::fill(a + 8, a + 16, 0);
    if (!::inet_ntop(AF_INET6, a, text, sizeof text)) return address;
    return std::string(text) + "/64";
}

Seconds Backoff::wait_of(const Table &t, const std::string &key, Time now) {
    auto it = t.find(key);
    if (it == t.end() || it->second.last + kForget <= now) return Seconds{0};
    return whole_seconds_until(it->second.last + wait_after(it->second.failures), now);
}

Seconds Backoff::wait(const std::string &source, const std::string &user, Time now) const {
    auto it = sources_.find(source);
    if (it == sources_.end() || it->second.last + kForget <= now) return Seconds{0};
    return std::max(wait_of(sources_, source, now), wait_of(accounts_, user, now));
}

void Backoff::note_failure(Table &t, const std::string &key, Time now) {
    if (!t.count(key) && t.size() >= kMaxClients) {
        // Forgotten failures first; then the one that failed longest ago.
        std::erase_if(t, [now](const auto &e) { return e.second.last + kForget <= now; });
        if (t.size() >= kMaxClients) {
            auto oldest = std::min_element(t.begin(), t.end(), [](const auto &a, const auto &b) {
                return a.second.last < b.second.last;
            });
            t.erase(oldest);
        }
    }
    Entry &e = t[key];
    if (e.failures > 0 && e.last + kForget <= now) e.failures = 0;
    if (e.failures < 64) ++e.failures;
    e.last = now;
}

void Backoff::failed(const std::string &source, const std::string &user, Time now) {
    note_failure(sources_, source, now);
    note_failure(accounts_, user, now);
}

void Backoff::succeeded(const std::string &source, const std::string &user) {
    sources_.erase(source);
    accounts_.erase(user);
}

void LoginSessions::expire(Time now) {
    std::erase_if(sessions_, [this, now](const LoginSession &s) {
        return s.last_use + idle_ <= now || s.opened + lifetime_ <= now;
    });
}

const LoginSession &LoginSessions::open(LoginSession s, Time now) {
    expire(now);
    if (sessions_.size() >= kMax) {
        auto idlest = std::min_element(
            sessions_.begin(), sessions_.end(),
            [](const LoginSession &a, const LoginSession &b) { return a.last_use < b.last_use; });
        sessions_.erase(idlest);
    }
    s.opened = s.last_use = now;
    sessions_.push_back(std::move(s));
    return sessions_.back();
}

LoginSession *LoginSessions::find(std::string_view id, Time now, bool renew) {
    expire(now);
    LoginSession *found = nullptr;
    for (LoginSession &s : sessions_)
        if (same_secret(s.id, id)) found = &s;
    if (found && renew) found->last_use = now;
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
