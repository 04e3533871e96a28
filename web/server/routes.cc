// Which page answers a request: the routes, the static files, and what a
// request may bring.
#include <chrono>

#include "html.h"
#include "pages.h"

// The style sheet and the script, built into the program (assets.cmake).
extern "C" const char vkweb_css[];
extern "C" const char vkweb_js[];

namespace vkweb {

namespace {

HttpResponse asset(const char *text, const char *type) {
    HttpResponse res;
    res.body = text;
    res.content_type = type;
    res.cacheable = true;
    return res;
}

}  // namespace

size_t body_limit(const std::string &method, const std::string &path) {
    if (method != "POST") return 0;
    if (path == "/login" || path == "/logout") return kSmallForm;
    if (path == "/confirm" || path == "/act") return kLargeForm;
    return 0;
}

bool parse_form(std::string_view body, size_t max_fields,
                std::vector<std::pair<std::string, std::string>> &out) {
    out.clear();
    size_t at = 0;
    while (at < body.size()) {
        size_t amp = body.find('&', at);
        std::string_view pair =
            body.substr(at, amp == std::string_view::npos ? std::string_view::npos : amp - at);
        at = amp == std::string_view::npos ? body.size() : amp + 1;
        if (pair.empty()) continue;
        if (out.size() == max_fields) return false;
        size_t eq = pair.find('=');
        std::string k, v;
        if (!url_decode(pair.substr(0, eq), k)) return false;
        if (eq != std::string_view::npos && !url_decode(pair.substr(eq + 1), v)) return false;
        out.emplace_back(std::move(k), std::move(v));
    }
    return true;
}

HttpResponse handle(const HttpRequest &r, const Helper &helper) {
    if (r.method != "GET" && r.method != "POST" && r.method != "HEAD")
        return problem(405, "Not allowed", "That method is not allowed here.");
    bool post = r.method == "POST";
    if (r.path == "/static/vkweb.css" && !post) return asset(vkweb_css, "text/css; charset=utf-8");
    if (r.path == "/static/vkweb.js" && !post)
        return asset(vkweb_js, "text/javascript; charset=utf-8");
    if (r.path == "/login") {
        if (post) return do_login(r, helper);
        if (logged_in(r, helper)) return redirect("/overview");
        return login_page("");
    }
    if (r.path == "/logout" && post) return do_logout(r, helper);
    const bool known = r.path == "/" || r.path == "/overview" || r.path == "/sessions" ||
                       r.path == "/limits" || r.path == "/session" || r.path == "/confirm" ||
                       r.path == "/act";
    if (!known) return problem(404, "Not found", "There is no such page.");
    // The pages that show the listing say how long they waited for the
    // helper (the login's check and the listing, with any wait for a
    // listing that another request started): the rest is the page's own.
    double waited = 0;
    Helper timed = [&helper, &waited](const Message &m) {
        auto t0 = std::chrono::steady_clock::now();
        Message reply = helper(m);
        waited += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                      .count();
        return reply;
    };
    auto who = logged_in(r, timed);
    if (!who) return redirect("/login");
    if (r.path == "/") return redirect("/overview");
    if (post) {
        if (r.path == "/confirm") return confirm(r, helper, *who);
        if (r.path == "/act") return act(r, helper, *who);
        return problem(405, "Not allowed", "That method is not allowed here.", who);
    }
    if (r.path == "/overview" || r.path == "/sessions" || r.path == "/limits") {
        Builder build = r.path == "/overview"   ? &overview
                        : r.path == "/sessions" ? &sessions_page
                                                : &limits_page;
        HttpResponse res = listing_page(r, timed, *who, build);
        timing(res, waited);
        return res;
    }
    if (r.path == "/session") return session_page(r, helper, *who);
    return problem(405, "Not allowed", "That method is not allowed here.", who);
}

}  // namespace vkweb
