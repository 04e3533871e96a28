// What the pages share: who is logged in, the frame every page is drawn
// in, and the pages themselves, each made in a file of its own; routes.cc
// picks the one that answers a request.
#ifndef VK_WEB_PAGES_H
#define VK_WEB_PAGES_H

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "web.h"

namespace vkweb {

// Appends the pieces to `out`, with no temporary for their sum: the tables
// are built from thousands of such pieces.
inline void add(std::string &out, std::initializer_list<std::string_view> pieces) {
    for (std::string_view p : pieces) out.append(p);
}

// The logged-in administrator: the login's id (its cookie), its name, and
// its form token.
struct Who {
    std::string session, login, csrf;
};

// ---- the frame (frame.cc)

bool is_hex64(const std::string &s);
// A text fit for a filter or a form field: bounded, without control characters.
bool plain_text(const std::string &s, size_t max);
const std::string *form_value(const HttpRequest &r, const char *name);
std::string query_value(const HttpRequest &r, const char *name);
HttpResponse redirect(const std::string &to);
// A whole page around `content`; `refresh`: the overview, which reloads itself.
std::string page(const std::string &title, const std::optional<Who> &who,
                 const std::string &content, bool refresh = false);
HttpResponse html(int status, std::string body);
// A page that says why not.
HttpResponse problem(int status, const std::string &title, const std::string &text,
                     const std::optional<Who> &who = std::nullopt);
// Says in a header how long the page waited for the helper (ms).
void timing(HttpResponse &res, double ms);

// ---- logins and form tokens (login.cc)

// The login's form token as a form carries it, and whether a form's value
// is that token.
std::string masked(const std::string &token);
bool unmasks_to(const std::string &value, const std::string &token);
std::optional<Who> logged_in(const HttpRequest &r, const Helper &helper);
HttpResponse login_page(const std::string &error);
HttpResponse do_login(const HttpRequest &r, const Helper &helper);
HttpResponse do_logout(const HttpRequest &r, const Helper &helper);

// ---- the pages that show the listing, made from a snapshot of it
// (listing_cache.h) and kept for it

struct Snapshot;
using Builder = HttpResponse (*)(const HttpRequest &, const Who &, const Snapshot &);
// The page that `build` makes of the listing, kept while the listing is
// the same.
HttpResponse listing_page(const HttpRequest &r, const Helper &helper, const Who &who,
                          Builder build);
HttpResponse overview(const HttpRequest &, const Who &who, const Snapshot &snap);
HttpResponse sessions_page(const HttpRequest &r, const Who &who, const Snapshot &snap);
HttpResponse limits_page(const HttpRequest &, const Who &who, const Snapshot &snap);

// ---- one session, and the actions (session_page.cc, actions.cc)

HttpResponse session_page(const HttpRequest &r, const Helper &helper, const Who &who);
HttpResponse confirm(const HttpRequest &r, const Helper &helper, const Who &who);
HttpResponse act(const HttpRequest &r, const Helper &helper, const Who &who);

}  // namespace vkweb

#endif
