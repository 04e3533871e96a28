#include "requests.h"

#include <arpa/inet.h>

#include "host_name.h"

namespace vkweb {

namespace {

bool has_control(std::string_view s) {
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return true;
    }
    return false;
}

// A text field: at most `max` bytes, no control characters (NUL included:
// every value ends up as a C string), empty only where `may_be_empty`.
bool text_field(std::string_view s, size_t max, bool may_be_empty) {
    return (may_be_empty || !s.empty()) && s.size() <= max && !has_control(s);
}

Checked refuse(std::string why) {
    Checked c;
    c.refusal = std::move(why);
    return c;
}

Checked accept(Request r) {
    Checked c;
    c.ok = true;
    c.request = std::move(r);
    return c;
}

// The checks that every request naming a login session makes.
const char *check_session_and_client(const std::vector<std::string> &f) {
    if (!lower_hex(f[0], kIdLength)) return "bad session id";
    if (!client_address(f[1])) return "bad client address";
    return nullptr;
}

Checked auth(const std::vector<std::string> &f) {
    if (f.size() != 3) return refuse("wrong number of fields");
    if (!account_name(f[0])) return refuse("bad user name");
    if (!text_field(f[1], kMaxPassword, false)) return refuse("bad password");
    if (!client_address(f[2])) return refuse("bad client address");
    return accept(AuthRequest{f[0], f[1], f[2]});
}

Checked whoami(const std::vector<std::string> &f) {
    if (f.size() != 3) return refuse("wrong number of fields");
    if (const char *why = check_session_and_client(f)) return refuse(why);
    if (f[2] != "0" && f[2] != "1") return refuse("bad use");
    return accept(WhoAmIRequest{f[0], f[1], f[2] == "1"});
}

Checked list(const std::vector<std::string> &f) {
    if (f.size() != 2) return refuse("wrong number of fields");
    if (const char *why = check_session_and_client(f)) return refuse(why);
    return accept(ListRequest{f[0], f[1]});
}

Checked act(const std::vector<std::string> &f) {
    constexpr size_t kHead = kActHeadFields;
    if (f.size() < kHead + kFieldsPerSession || (f.size() - kHead) % kFieldsPerSession != 0)
        return refuse("wrong number of fields");
    size_t n = (f.size() - kHead) / kFieldsPerSession;
    if (n > kMaxActSessions) return refuse("too many sessions");
    if (const char *why = check_session_and_client(f)) return refuse(why);
    if (!lower_hex(f[2], kIdLength)) return refuse("bad CSRF token");
    ActRequest r;
    r.session = f[0];
    r.client = f[1];
    r.csrf = f[2];
    if (f[3] == "terminate")
        r.action = Action::Terminate;
    else if (f[3] == "suspend")
        r.action = Action::Suspend;
    else if (f[3] == "resume")
        r.action = Action::Resume;
    else
        return refuse("unknown action");
    r.sessions.reserve(n);
    for (size_t at = kHead; at < f.size(); at += kFieldsPerSession) {
        NamedSession s{f[at], f[at + 1], f[at + 2], f[at + 3], f[at + 4]};
        if (!vk::valid_host_name(s.server)) return refuse("bad server name");
        if (!text_field(s.raw_token, kMaxToken, true)) return refuse("bad raw token");
        if (!text_field(s.token, kMaxToken, true)) return refuse("bad token");
        if (!text_field(s.login, kMaxLogin, true)) return refuse("bad login");
        if (!text_field(s.display, kMaxDisplay, true)) return refuse("bad display");
        r.sessions.push_back(std::move(s));
    }
    return accept(std::move(r));
}

Checked logout(const std::vector<std::string> &f) {
    if (f.size() != 2) return refuse("wrong number of fields");
    if (!lower_hex(f[0], kIdLength)) return refuse("bad session id");
    if (!lower_hex(f[1], kIdLength)) return refuse("bad CSRF token");
    return accept(LogoutRequest{f[0], f[1]});
}

}  // namespace

bool lower_hex(std::string_view s, size_t n) {
    if (s.size() != n) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

bool account_name(std::string_view s) {
    if (s.empty() || s.size() > kMaxUser || s[0] == '-') return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.'))
            return false;
    return true;
}

bool client_address(std::string_view s) {
    if (s.empty() || s.size() > kMaxClient || has_control(s)) return false;
    char text[kMaxClient + 1] = {};
    s.copy(text, s.size());
    unsigned char addr[16];
    return ::inet_pton(AF_INET, text, addr) == 1 || ::inet_pton(AF_INET6, text, addr) == 1;
}

bool same_secret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(static_cast<unsigned char>(a[i]) ^
                                           static_cast<unsigned char>(b[i]));
    return diff == 0;
}

const char *action_name(Action a) {
    switch (a) {
        case Action::Terminate:
            return "terminate";
        case Action::Suspend:
            return "suspend";
        case Action::Resume:
            return "resume";
    }
    return "?";
}

Checked check_request(const Message &m) {
    switch (static_cast<Op>(m.kind)) {
        case Op::Auth:
            return auth(m.fields);
        case Op::WhoAmI:
            return whoami(m.fields);
        case Op::List:
            return list(m.fields);
        case Op::Act:
            return act(m.fields);
        case Op::Logout:
            return logout(m.fields);
    }
    return refuse("unknown request");
}

}  // namespace vkweb
