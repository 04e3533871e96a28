// Logins and logouts, and the tokens that tie a form to the login or to
// the browser that it was given to.
#include <optional>
#include <string>
#include <sys/random.h>

#include "html.h"
#include "pages.h"
#include "requests.h"

namespace vkweb {

namespace {

// The prefix makes the browser take the cookie only over HTTPS, for the
// whole site and from this host alone: no other host of the domain, and no
// plain-HTTP answer, can set a login of its choice.
constexpr const char *kSessionCookie = "__Host-vkweb_session";
constexpr const char *kLoginCookie = "vkweb_login";

std::string random_hex() {
    unsigned char b[32];
    size_t got = 0;
    while (got < sizeof b) {
        ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
    }
    return to_hex(std::string_view(reinterpret_cast<char *>(b), sizeof b));
}

std::string cookie(const char *name, const std::string &value, const char *path,
                   bool clear = false) {
    return std::string(name) + "=" + value + "; Path=" + path +
           "; Secure; HttpOnly; SameSite=Strict" + (clear ? "; Max-Age=0" : "");
}

// Whether a request was made by a person: the overview's script marks the
// reloads it makes on its own with auto=1, and a browser left on the page
// is not in use however often it reloads.
bool in_use(const HttpRequest &r) {
    auto it = r.query.find("auto");
    return r.method == "POST" || it == r.query.end() || it->second != "1";
}

}  // namespace

// The login's form token as a form carries it: a fresh random pad, then the
// token with the pad laid over it (both in hex). The token itself never
// stands in a page, so that a page compressed beside text a far side wrote
// tells nothing of it by its length.
std::string masked(const std::string &token) {
    std::string raw, pad;
    if (!from_hex(token, raw)) return {};
    from_hex(random_hex().substr(0, raw.size() * 2), pad);
    std::string mixed(raw.size(), '\0');
    for (size_t i = 0; i < raw.size(); ++i) mixed[i] = static_cast<char>(raw[i] ^ pad[i]);
    return to_hex(pad) + to_hex(mixed);
}

// Whether a form's value is the login's token under some pad.
bool unmasks_to(const std::string &value, const std::string &token) {
    std::string pad, mixed, raw;
    if (value.size() != 2 * token.size() || !from_hex(value.substr(0, token.size()), pad) ||
        !from_hex(value.substr(token.size()), mixed) || !from_hex(token, raw) ||
        pad.size() != raw.size())
        return false;
    for (size_t i = 0; i < mixed.size(); ++i) mixed[i] = static_cast<char>(mixed[i] ^ pad[i]);
    return same_secret(mixed, raw);
}

// The logged-in administrator, or none (a cookie that is no session id is
// not even shown to the helper).
std::optional<Who> logged_in(const HttpRequest &r, const Helper &helper) {
    if (!is_hex64(r.session_cookie)) return std::nullopt;
    Message reply = helper(
        {static_cast<char>(Op::WhoAmI), {r.session_cookie, r.client, in_use(r) ? "1" : "0"}});
    if (reply.kind != static_cast<char>(Status::Ok) || reply.fields.size() != 2)
        return std::nullopt;
    return Who{r.session_cookie, reply.fields[0], reply.fields[1]};
}

HttpResponse login_page(const std::string &error) {
    std::string token = random_hex();
    std::string content = (error.empty() ? "" : "<p id=\"error\">" + esc(error) + "</p>\n") +
                          "<form id=\"login\" method=\"post\" action=\"/login\">\n"
                          "<input type=\"hidden\" name=\"csrf\" value=\"" +
                          token +
                          "\">\n"
                          "<label>Login <input name=\"user\" autocomplete=\"username\" required "
                          "maxlength=\"32\" autofocus></label>\n"
                          "<label>Password <input name=\"password\" type=\"password\" "
                          "autocomplete=\"current-password\" "
                          "required maxlength=\"512\"></label>\n"
                          "<button id=\"login-submit\" type=\"submit\">Log in</button>\n</form>\n";
    HttpResponse res = html(error.empty() ? 200 : 401, page("Log in", std::nullopt, content));
    res.headers.emplace_back("Set-Cookie", cookie(kLoginCookie, token, "/login"));
    return res;
}

HttpResponse do_login(const HttpRequest &r, const Helper &helper) {
    const std::string *csrf = form_value(r, "csrf"), *user = form_value(r, "user"),
                      *password = form_value(r, "password");
    // The form's token must be the one this browser got with the form.
    if (!csrf || !is_hex64(r.login_cookie) || !same_secret(*csrf, r.login_cookie))
        return login_page("The form has expired. Please log in again.");
    if (!user || !password || !plain_text(*user, 32) || password->size() > 512)
        return login_page("Login failed.");
    Message reply = helper({static_cast<char>(Op::Auth), {*user, *password, r.client}});
    if (reply.kind != static_cast<char>(Status::Ok) || reply.fields.size() != 3 ||
        !is_hex64(reply.fields[0]))
        return login_page(reply.fields.empty() ? "Login failed." : reply.fields[0]);
    HttpResponse res = redirect("/overview");
    res.headers.emplace_back("Set-Cookie", cookie(kSessionCookie, reply.fields[0], "/"));
    res.headers.emplace_back("Set-Cookie", cookie(kLoginCookie, "", "/login", true));
    return res;
}

// A logout ends the login that the cookie names whatever the form's token:
// the cookie is cleared in the browser either way, and a login left open
// behind a cleared cookie would still be good to whoever copied it. (The
// cookie is never sent with a request from another site.)
HttpResponse do_logout(const HttpRequest &r, const Helper &helper) {
    if (auto who = logged_in(r, helper)) {
        Message reply = helper({static_cast<char>(Op::Logout), {who->session, who->csrf}});
        if (reply.kind != static_cast<char>(Status::Ok))
            return problem(500, "Log out", "The login could not be ended. Try again.", who);
    }
    HttpResponse res = redirect("/login");
    res.headers.emplace_back("Set-Cookie", cookie(kSessionCookie, "", "/", true));
    return res;
}

}  // namespace vkweb
