// The requests that vkweb's privileged helper reads from the web side:
// the body of a message, taken apart with the request limits, then checked
// field by field. A body that decodes encodes back to the same bytes; a
// request that passes the checks holds only what the checks promise; one
// that fails them says why.
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "host_name.h"
#include "protocol.h"
#include "requests.h"

namespace {

bool printable(const std::string &s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

void check_named(const vkweb::NamedSession &n) {
    fuzz::check(vk::valid_host_name(n.server), "a server is a host name");
    fuzz::check(n.raw_token.size() <= vkweb::kMaxToken && n.token.size() <= vkweb::kMaxToken &&
                    n.login.size() <= vkweb::kMaxLogin && n.display.size() <= vkweb::kMaxDisplay,
                "a named session's fields are within their bounds");
    fuzz::check(
        printable(n.raw_token) && printable(n.token) && printable(n.login) && printable(n.display),
        "a named session's fields hold no control characters");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view body(reinterpret_cast<const char *>(data), size);
    auto m = vkweb::decode(body, vkweb::kRequestLimits);
    if (!m) return 0;
    fuzz::check(vkweb::encode(*m).substr(4) == body, "a message encodes back to its bytes");

    vkweb::Checked c = vkweb::check_request(*m);
    if (!c.ok) {
        fuzz::check(!c.refusal.empty() && c.refusal.size() < 64, "a refusal says why, briefly");
        return 0;
    }
    if (const auto *a = std::get_if<vkweb::AuthRequest>(&c.request)) {
        fuzz::check(vkweb::account_name(a->user), "a user is an account name");
        fuzz::check(!a->password.empty() && a->password.size() <= vkweb::kMaxPassword &&
                        printable(a->password),
                    "a password is within its bounds");
        fuzz::check(vkweb::client_address(a->client), "a client is an address");
    } else if (const auto *x = std::get_if<vkweb::ActRequest>(&c.request)) {
        fuzz::check(vkweb::lower_hex(x->session, 64) && vkweb::lower_hex(x->csrf, 64),
                    "ids are 64 hex digits");
        fuzz::check(vkweb::client_address(x->client), "a client is an address");
        fuzz::check(!x->sessions.empty() && x->sessions.size() <= vkweb::kMaxActSessions &&
                        m->fields.size() == 4 + 5 * x->sessions.size(),
                    "an action names 1 to 1000 sessions, five fields each");
        for (const vkweb::NamedSession &n : x->sessions) check_named(n);
    } else if (const auto *w = std::get_if<vkweb::WhoAmIRequest>(&c.request)) {
        fuzz::check(vkweb::lower_hex(w->session, 64) && vkweb::client_address(w->client) &&
                        m->fields[2] == (w->use ? "1" : "0"),
                    "a session, a client and whether it is use");
    } else if (const auto *l = std::get_if<vkweb::ListRequest>(&c.request)) {
        fuzz::check(vkweb::lower_hex(l->session, 64) && vkweb::client_address(l->client),
                    "a session and a client");
    } else if (const auto *q = std::get_if<vkweb::LogoutRequest>(&c.request)) {
        fuzz::check(vkweb::lower_hex(q->session, 64) && vkweb::lower_hex(q->csrf, 64),
                    "ids are 64 hex digits");
    }
    return 0;
}
