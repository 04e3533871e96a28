// The frame every page is drawn in, the headers every response carries,
// and the small parts of requests and responses that every page uses.
#include <algorithm>
#include <atomic>
#include <cstdio>

#include "html.h"
#include "pages.h"

namespace vkweb {

namespace {

std::atomic<int> refresh_seconds{30};

}  // namespace

bool is_hex64(const std::string &s) {
    return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// A text fit for a filter or a form field: bounded, without control characters.
bool plain_text(const std::string &s, size_t max) {
    return s.size() <= max && std::none_of(s.begin(), s.end(), [](char c) {
               return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
           });
}

const std::string *form_value(const HttpRequest &r, const char *name) {
    for (const auto &[k, v] : r.form)
        if (k == name) return &v;
    return nullptr;
}

std::string query_value(const HttpRequest &r, const char *name) {
    auto it = r.query.find(name);
    return it == r.query.end() ? std::string() : it->second;
}

HttpResponse redirect(const std::string &to) {
    HttpResponse res;
    res.status = 303;
    res.headers.emplace_back("Location", to);
    res.body = "<!DOCTYPE html><title>See other</title><a href=\"" + esc(to) + "\">continue</a>\n";
    return res;
}

std::string page(const std::string &title, const std::optional<Who> &who,
                 const std::string &content, bool refresh) {
    std::string h;
    h.reserve(content.size() + 2048);
    h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
    h += esc(title);
    h += " \xe2\x80\x93 Parvix sessions</title>\n<link rel=\"stylesheet\" "
         "href=\"/static/vkweb.css\">\n"
         "<script src=\"/static/vkweb.js\" defer></script>\n</head>\n<body";
    if (refresh) add(h, {" data-refresh=\"", std::to_string(refresh_seconds.load()), "\""});
    h += ">\n<header>\n<span class=\"product\">Parvix sessions</span>\n";
    if (who) {
        h += "<nav><a id=\"nav-overview\" href=\"/overview\">Overview</a> "
             "<a id=\"nav-sessions\" href=\"/sessions\">Sessions</a> "
             "<a id=\"nav-limits\" href=\"/limits\">Limits</a></nav>\n"
             "<form id=\"logout\" method=\"post\" action=\"/logout\">"
             "<span id=\"user\">" +
             esc(who->login) +
             "</span> "
             "<input type=\"hidden\" name=\"csrf\" value=\"" +
             masked(who->csrf) +
             "\">"
             "<button type=\"submit\">Log out</button></form>\n";
    }
    h += "</header>\n<main>\n<h1>" + esc(title) + "</h1>\n";
    h += content;
    h += "</main>\n</body>\n</html>\n";
    return h;
}

HttpResponse html(int status, std::string body) {
    HttpResponse res;
    res.status = status;
    res.body = std::move(body);
    return res;
}

HttpResponse problem(int status, const std::string &title, const std::string &text,
                     const std::optional<Who> &who) {
    return html(status, page(title, who, "<p id=\"error\">" + esc(text) + "</p>\n"));
}

void timing(HttpResponse &res, double ms) {
    char v[64];
    std::snprintf(v, sizeof v, "listing;dur=%.1f", ms);
    res.headers.emplace_back("Server-Timing", v);
}

void set_refresh(int seconds) {
    refresh_seconds = seconds;
}

std::vector<std::pair<std::string, std::string>> security_headers(const HttpResponse &r) {
    std::vector<std::pair<std::string, std::string>> h = {
        {"Content-Security-Policy",
         "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; object-src "
         "'none'; "
         "frame-ancestors 'none'; base-uri 'none'; form-action 'self'"},
        {"X-Frame-Options", "DENY"},
        {"X-Content-Type-Options", "nosniff"},
        {"Strict-Transport-Security", "max-age=31536000"},
        {"Referrer-Policy", "no-referrer"},
        {"Cross-Origin-Opener-Policy", "same-origin"},
    };
    h.emplace_back("Cache-Control", r.cacheable ? "public, max-age=3600" : "no-store");
    return h;
}

}  // namespace vkweb
