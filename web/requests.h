// The requests that vkweb-helper serves, checked field by field before
// anything runs for them. The web side reads HTTP from anyone and may be
// taken over, so the helper trusts none of what it sends: each request is
// checked here on its own, whatever the web side checked before, and a
// request that fails any check is refused whole.
#ifndef VK_WEB_REQUESTS_H
#define VK_WEB_REQUESTS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol.h"

namespace vkweb {

struct AuthRequest {
    std::string user, password, client;
};

struct WhoAmIRequest {
    std::string session, client;
    bool use = true;  // whether a person asked, rather than a page on its own
};

struct ListRequest {
    std::string session, client;
};

// A session as the listing showed it; an empty field is one the session
// does not have.
struct NamedSession {
    std::string server, raw_token, token, login, display;
};

// What an action does to the sessions it names.
enum class Action { Terminate, Suspend, Resume };

struct ActRequest {
    std::string session, client, csrf;
    Action action = Action::Terminate;
    std::vector<NamedSession> sessions;
};

struct LogoutRequest {
    std::string session, csrf;
};

using Request = std::variant<AuthRequest, WhoAmIRequest, ListRequest, ActRequest, LogoutRequest>;

// A request that passed every check, or the short reason it did not.
struct Checked {
    bool ok = false;
    Request request;
    std::string refusal;
};

// Checks `m` on its own: a known operation, exactly the fields it takes,
// and every field within its bounds and form. No side effects.
Checked check_request(const Message &m);

// The action's name in requests and in the log: terminate, suspend, resume.
const char *action_name(Action a);

// Whether `s` is `n` lower-case hexadecimal digits.
bool lower_hex(std::string_view s, size_t n);

// Whether `s` is an account name: letters, digits, ".", "_" and "-", not
// starting with "-", 1 to kMaxUser long.
bool account_name(std::string_view s);

// Whether `s` is an IPv4 or IPv6 address in text form (no zone), at most
// kMaxClient long.
bool client_address(std::string_view s);

// Equality whose time depends on the lengths only, not on where the texts
// differ: for secrets that the other side may guess at.
bool same_secret(std::string_view a, std::string_view b);

}  // namespace vkweb

#endif
