// The pages: login, the group's overview, the sessions table, the session
// limits, one session, and the confirmation and outcome of an action.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <gnutls/crypto.h>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <variant>
#include <zlib.h>
#include <string>
#include <strings.h>
#include <sys/random.h>
#include <vector>

#include "html.h"
#include "listing.h"
#include "listing_wire.h"
#include "requests.h"
#include "duration.h"
#include "web.h"

// The style sheet and the script, built into the program (assets.cmake).
extern "C" const char vkweb_css[];
extern "C" const char vkweb_js[];

namespace vkweb {

namespace {

// The prefix makes the browser take the cookie only over HTTPS, for the
// whole site and from this host alone: no other host of the domain, and no
// plain-HTTP answer, can set a login of its choice.
constexpr const char *kSessionCookie = "__Host-vkweb_session";
constexpr const char *kLoginCookie = "vkweb_login";
constexpr size_t kMaxSelected = kMaxActSessions;

// ---- small things ---------------------------------------------------------------------------

// Appends the pieces to `out`, with no temporary for their sum: the tables
// are built from thousands of such pieces.
void add(std::string &out, std::initializer_list<std::string_view> pieces) {
    for (std::string_view p : pieces) out.append(p);
}

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

std::string random_hex() {
    unsigned char b[32];
    size_t got = 0;
    while (got < sizeof b) {
        ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
    }
    return to_hex(std::string_view(reinterpret_cast<char *>(b), sizeof b));
}

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

std::string cookie(const char *name, const std::string &value, const char *path,
                   bool clear = false) {
    return std::string(name) + "=" + value + "; Path=" + path +
           "; Secure; HttpOnly; SameSite=Strict" + (clear ? "; Max-Age=0" : "");
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

std::atomic<int> refresh_seconds{30};

// ---- the frame of every page ----------------------------------------------------------------

struct Who {
    std::string session, login, csrf;
};

std::string page(const std::string &title, const std::optional<Who> &who,
                 const std::string &content, bool refresh = false) {
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
                     const std::optional<Who> &who = std::nullopt) {
    return html(status, page(title, who, "<p id=\"error\">" + esc(text) + "</p>\n"));
}

// Whether a request was made by a person: the overview's script marks the
// reloads it makes on its own with auto=1, and a browser left on the page
// is not in use however often it reloads.
bool in_use(const HttpRequest &r) {
    auto it = r.query.find("auto");
    return r.method == "POST" || it == r.query.end() || it->second != "1";
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

void timing(HttpResponse &res, double ms) {
    char v[64];
    std::snprintf(v, sizeof v, "listing;dur=%.1f", ms);
    res.headers.emplace_back("Server-Timing", v);
}

// ---- the listing as the pages use it ---------------------------------------------------------

// A session named by its server, raw token, token, login and display
// (empty: absent): what an action on it sends the helper.
struct Ref {
    std::array<std::string, 5> f;  // server, raw token, token, login, display
};

Ref ref_of(const Listing &l, const Session &s) {
    auto t = [&s](Field f) { return std::string(s.text(f) ? s.text(f) : ""); };
    return {{l.server(s), t(Field::RawToken), t(Field::Token), t(Field::Login), t(Field::Display)}};
}

// Forms and links name a session by a short key: the first 72 bits of the
// SHA-256 of its five fields, in base64. A thousand rows with their
// buttons stay small, and a key names nothing by itself: it is looked up
// in the listing, so that what the confirmation shows is what is acted on.
std::string key_of(const Ref &ref) {
    std::string joined;
    for (const std::string &f : ref.f) {
        joined += f;
        joined += '\0';
    }
    unsigned char digest[32];
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, joined.data(), joined.size(), digest) != 0) return {};
    return to_base64url(std::string_view(reinterpret_cast<char *>(digest), 9));
}

// One listing of the group, as the helper answered it, with what the
// pages make of it. The helper answers the same listing for a while, and
// so do the pages: its keys, and the sessions table in the orders and
// filters asked for, are made once for every request that shows it.
struct Snapshot {
    std::vector<std::string> fields;  // the helper's answer, to know it again
    Listing listing;
    ListingLimits limits;
    std::vector<std::string> keys;  // by session
    std::unordered_map<std::string, size_t> by_key;
    std::mutex lane;  // guards tables
    std::map<std::string, std::shared_ptr<const std::string>> tables;

    const Session *find(const std::string &key) const {
        auto it = by_key.find(key);
        return it == by_key.end() ? nullptr : &listing.sessions[it->second];
    }
};

std::shared_ptr<Snapshot> make_snapshot(std::vector<std::string> fields) {
    auto s = std::make_shared<Snapshot>();
    auto l = listing_from(fields, 0, &s->limits);
    if (!l) return nullptr;
    s->listing = std::move(*l);
    s->fields = std::move(fields);
    s->keys.reserve(s->listing.sessions.size());
    for (size_t i = 0; i < s->listing.sessions.size(); ++i) {
        s->keys.push_back(key_of(ref_of(s->listing, s->listing.sessions[i])));
        s->by_key.emplace(s->keys.back(), i);
    }
    return s;
}

// The listing of the group, and how long the helper took for it (ms).
std::shared_ptr<const Snapshot> snapshot(const Who &who, const HttpRequest &r, const Helper &helper,
                                         double &ms) {
    static std::mutex lane;
    static std::shared_ptr<Snapshot> last;
    auto t0 = std::chrono::steady_clock::now();
    Message reply = helper({static_cast<char>(Op::List), {who.session, r.client}});
    ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (reply.kind != static_cast<char>(Status::Ok)) return nullptr;
    {
        std::lock_guard<std::mutex> lock(lane);
        if (last && last->fields == reply.fields) return last;
    }
    auto made = make_snapshot(std::move(reply.fields));
    std::lock_guard<std::mutex> lock(lane);
    if (made) last = made;
    return made;
}

const char *or_unknown(const char *s) {
    return s ? s : "???";
}

std::string display_token(const Session &s) {
    return or_unknown(s.display_token());
}

// The state letters, each with what it means.
std::string state_html(const Session &s) {
    static const std::map<char, const char *> kMeaning = {{'D', "disconnected"},
                                                          {'I', "idle"},
                                                          {'S', "suspended"},
                                                          {'E', "encrypted"},
                                                          {'A', "authenticated"}};
    std::string out;
    for (char c : s.state_letters())
        out += "<abbr title=\"" + std::string(kMeaning.at(c)) + "\">" + c + "</abbr>";
    return out.empty() ? "<span class=\"connected\">connected</span>" : out;
}

// ---- the session limits as the pages show them ----------------------------------------------

std::string duration_or_dash(const std::optional<int64_t> &s) {
    return s ? vk::human_duration(*s) : "-";
}

const SessionTimes *times_of(const Snapshot &snap, size_t i) {
    return i < snap.limits.sessions.size() && snap.limits.sessions[i] ? &*snap.limits.sessions[i]
                                                                      : nullptr;
}

// When a session's limit ends it, from the listing's time: a duration,
// "now" when it is over its limit, and why not when its member would not
// end it (an exemption, an unreachable manager, too many at once).
std::string ends_in(const SessionTimes *t) {
    if (!t) return "-";
    std::string when;
    if (t->ends_in) when = *t->ends_in == 0 ? "now" : vk::human_duration(*t->ends_in);
    if (t->note.empty()) return when.empty() ? "-" : when;
    return when.empty() ? t->note : when + " (" + t->note + ")";
}

std::string limit_text(const SessionTimes *t) {
    if (!t || t->limit.empty()) return "-";
    return t->limit + " " + duration_or_dash(t->limit_s);
}

std::string legend() {
    return "<p class=\"legend\">State: <b>D</b> disconnected, <b>I</b> idle, <b>S</b> suspended, "
           "<b>E</b> encrypted, <b>A</b> authenticated; none of them: connected.</p>\n";
}

std::string failed_members(const Listing &l) {
    std::string out;
    for (const MemberAnswer &a : l.members) {
        if (!a.answered)
            out += "<li class=\"down\" data-server=\"" + esc(a.member.name) + "\"><b>" +
                   esc(a.member.name) + "</b>: " + esc(a.reason) + "</li>\n";
        for (const std::string &w : a.warnings)
            out += "<li class=\"warning\" data-server=\"" + esc(a.member.name) + "\"><b>" +
                   esc(a.member.name) + "</b>: " + esc(w) + "</li>\n";
    }
    return out.empty() ? out : "<ul id=\"problems\">\n" + out + "</ul>\n";
}

// ---- login and logout -------------------------------------------------------------------------

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

// ---- overview -------------------------------------------------------------------------------

struct Counts {
    size_t connected = 0, disconnected = 0, idle = 0, suspended = 0;
};

std::vector<Counts> count_states(const Listing &l) {
    std::vector<Counts> c(l.members.size());
    for (const Session &s : l.sessions) {
        Counts &m = c[s.member];
        int st = s.state();
        if (st & kDisconnected)
            ++m.disconnected;
        else
            ++m.connected;
        if (st & kIdle) ++m.idle;
        if (st & kSuspended) ++m.suspended;
    }
    return c;
}

// A bar chart of the members' sessions by state, drawn here: no script, no
// font or style from elsewhere; its colours come from the page's style sheet.
std::string chart(const Listing &l, const std::vector<Counts> &counts) {
    const int label = 150, width = 420, bar = 12, gap = 2, group = 4 * (bar + gap) + 14;
    size_t most = 1;
    for (const Counts &c : counts)
        most = std::max({most, c.connected, c.disconnected, c.idle, c.suspended});
    int height = static_cast<int>(l.members.size()) * group + 20;
    std::string svg = "<svg id=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
                      std::to_string(label + width + 120) + " " + std::to_string(height) +
                      "\" role=\"img\" aria-label=\"Sessions of each member by state\">\n";
    for (size_t i = 0; i < l.members.size(); ++i) {
        const auto &a = l.members[i];
        int y = static_cast<int>(i) * group + 10;
        svg += "<text class=\"member\" x=\"0\" y=\"" + std::to_string(y + 2 * (bar + gap)) + "\">" +
               esc(a.member.name) + "</text>\n";
        if (!a.answered) {
            svg += "<text class=\"down\" x=\"" + std::to_string(label) + "\" y=\"" +
                   std::to_string(y + 2 * (bar + gap)) + "\">down: no answer</text>\n";
            continue;
        }
        const std::pair<const char *, size_t> bars[] = {{"connected", counts[i].connected},
                                                        {"disconnected", counts[i].disconnected},
                                                        {"idle", counts[i].idle},
                                                        {"suspended", counts[i].suspended}};
        for (size_t k = 0; k < 4; ++k) {
            int by = y + static_cast<int>(k) * (bar + gap);
            int w = static_cast<int>(static_cast<double>(bars[k].second) * width /
                                     static_cast<double>(most));
            std::string n = std::to_string(bars[k].second);
            add(svg, {"<rect class=\"bar state-",
                      bars[k].first,
                      "\" data-server=\"",
                      esc(a.member.name),
                      "\" data-state=\"",
                      bars[k].first,
                      "\" data-count=\"",
                      n,
                      "\" x=\"",
                      std::to_string(label),
                      "\" y=\"",
                      std::to_string(by),
                      "\" width=\"",
                      std::to_string(w),
                      "\" height=\"",
                      std::to_string(bar),
                      "\"><title>",
                      esc(a.member.name),
                      ": ",
                      n,
                      " ",
                      bars[k].first,
                      "</title></rect>\n"});
            svg += "<text class=\"count\" x=\"" + std::to_string(label + w + 4) + "\" y=\"" +
                   std::to_string(by + bar - 2) + "\">" + n + " " + bars[k].first + "</text>\n";
        }
    }
    svg += "</svg>\n";
    return svg;
}

HttpResponse overview(const HttpRequest &, const Who &who, const Snapshot &snap) {
    const Listing *l = &snap.listing;
    auto counts = count_states(*l);
    std::string rows;
    for (size_t i = 0; i < l->members.size(); ++i) {
        const auto &a = l->members[i];
        char secs[32];
        std::snprintf(secs, sizeof secs, "%.2f s", a.seconds);
        rows += "<tr data-server=\"" + esc(a.member.name) + "\"><td class=\"server\">" +
                esc(a.member.name) + (a.member.local ? " <small>(this host)</small>" : "") +
                "</td><td class=\"state " + (a.answered ? "up\">up" : "down\">down") +
                "</td><td class=\"reason\">" + esc(a.reason) + "</td><td class=\"seconds\">" +
                secs + "</td><td class=\"sessions\">" +
                (a.answered ? "<a href=\"/sessions?server=" + url_encode(a.member.name) + "\">" +
                                  std::to_string(a.sessions) + "</a>"
                            : "") +
                "</td><td class=\"counts\">" +
                (a.answered ? std::to_string(counts[i].connected) + " connected, " +
                                  std::to_string(counts[i].disconnected) + " disconnected, " +
                                  std::to_string(counts[i].idle) + " idle, " +
                                  std::to_string(counts[i].suspended) + " suspended"
                            : "") +
                "</td></tr>\n";
    }
    std::string content =
        "<table "
        "id=\"members\">\n<thead><tr><th>Server</th><th>State</th><th>Error</th><th>Answered "
        "in</th>"
        "<th>Sessions</th><th>By state</th></tr></thead>\n<tbody>\n" +
        rows + "</tbody>\n</table>\n" + "<figure>\n" + chart(*l, counts) +
        "<figcaption><span class=\"key state-connected\"></span> connected "
        "<span class=\"key state-disconnected\"></span> disconnected "
        "<span class=\"key state-idle\"></span> idle "
        "<span class=\"key state-suspended\"></span> suspended</figcaption>\n</figure>\n";
    return html(200, page("Overview", who, content, true));
}

// ---- sessions -------------------------------------------------------------------------------

const std::array<const char *, 6> kColumns = {"server", "token",   "name",
                                              "login",  "display", "state"};

std::string column_text(const Listing &l, const Session &s, const std::string &column) {
    if (column == "server") return l.server(s);
    if (column == "token") return display_token(s);
    if (column == "name") return or_unknown(s.name());
    if (column == "login") return or_unknown(s.text(Field::Login));
    if (column == "display") return s.text(Field::Display) ? s.text(Field::Display) : "";
    return s.state_letters();
}

// Displays sort as numbers where they are numbers.
bool before(const std::string &a, const std::string &b, const std::string &column) {
    if (column == "display") {
        auto digit = [](char c) { return c >= '0' && c <= '9'; };
        bool na = !a.empty() && std::all_of(a.begin(), a.end(), digit);
        bool nb = !b.empty() && std::all_of(b.begin(), b.end(), digit);
        if (na && nb && a.size() != b.size()) return a.size() < b.size();
    }
    return a < b;
}

bool matches(const Listing &l, const Session &s, const std::map<std::string, std::string> &f) {
    auto get = [&f](const char *k) {
        auto it = f.find(k);
        return it == f.end() ? std::string() : it->second;
    };
    std::string server = get("server"), login = get("login"), token = get("token"),
                display = get("display");
    if (!server.empty() && strcasecmp(server.c_str(), l.server(s).c_str()) != 0) return false;
    if (!login.empty() && (!s.text(Field::Login) || login != s.text(Field::Login))) return false;
    if (!display.empty() && (!s.text(Field::Display) || display != s.text(Field::Display)))
        return false;
    if (!token.empty()) {
        const char *t = s.text(Field::Token), *raw = s.text(Field::RawToken);
        if (!(t && strcasecmp(t, token.c_str()) == 0) &&
            !(raw && strcasecmp(raw, token.c_str()) == 0))
            return false;
    }
    return true;
}

// The three actions as buttons: on the ticked rows (name "action"), or on
// one row (name "one", its value the action, a dot and the row's key).
std::string action_buttons(const std::string &key = "") {
    std::string out;
    for (const char *a : {"terminate", "suspend", "resume"}) {
        std::string label = a;
        label[0] = static_cast<char>(label[0] - 'a' + 'A');
        add(out, {"<button class=\"act\" type=\"submit\" name=\"", key.empty() ? "action" : "one",
                  "\" value=\"", a, key.empty() ? "" : ".", key, "\">", label, "</button>"});
    }
    return out;
}

// The rows of the sessions table for a filter and an order (`view`).
std::string table_rows(const Snapshot &snap, const std::map<std::string, std::string> &filter,
                       const std::string &sort, bool descending) {
    const Listing &l = snap.listing;
    std::vector<size_t> shown;
    for (size_t i = 0; i < l.sessions.size(); ++i)
        if (matches(l, l.sessions[i], filter)) shown.push_back(i);
    if (!sort.empty()) {
        std::vector<std::pair<std::string, size_t>> keyed;
        keyed.reserve(shown.size());
        for (size_t i : shown) keyed.emplace_back(column_text(l, l.sessions[i], sort), i);
        std::stable_sort(keyed.begin(), keyed.end(), [&](const auto &a, const auto &b) {
            return descending ? before(b.first, a.first, sort) : before(a.first, b.first, sort);
        });
        for (size_t k = 0; k < keyed.size(); ++k) shown[k] = keyed[k].second;
    }
    std::string rows = "<p class=\"count\">" + std::to_string(shown.size()) + " of " +
                       std::to_string(l.sessions.size()) + " sessions</p>\n";
    std::string body;
    body.reserve(shown.size() * 480);
    for (size_t i : shown) {
        const Session &s = l.sessions[i];
        const std::string &key = snap.keys[i];
        const char *login = s.text(Field::Login), *disp = s.text(Field::Display);
        std::string server = esc(l.server(s)), token = esc(display_token(s));
        const SessionTimes *times = times_of(snap, i);
        add(body, {"<tr class=\"session\" data-server=\"",
                   server,
                   "\" data-token=\"",
                   token,
                   "\">",
                   "<td class=\"pick\"><input type=\"checkbox\" name=\"s\" value=\"",
                   key,
                   "\"></td>",
                   "<td class=\"server\">",
                   server,
                   "</td>",
                   "<td class=\"token\"><a href=\"/session?key=",
                   key,
                   "\">",
                   token,
                   "</a></td>",
                   "<td class=\"name\">",
                   esc(or_unknown(s.name())),
                   "</td>",
                   "<td class=\"login\">",
                   esc(or_unknown(login)),
                   "</td>",
                   "<td class=\"display\">",
                   esc(disp ? disp : ""),
                   "</td>",
                   "<td class=\"state\">",
                   state_html(s),
                   "</td>",
                   "<td class=\"disconnected-for\">",
                   esc(duration_or_dash(times ? times->disconnected_s : std::nullopt)),
                   "</td>",
                   "<td class=\"ends-in\">",
                   esc(ends_in(times)),
                   "</td>",
                   "<td class=\"actions\">",
                   action_buttons(key),
                   "</td></tr>\n"});
    }
    return rows + body;
}

HttpResponse sessions_page(const HttpRequest &r, const Who &who, const Snapshot &snap_ref) {
    std::map<std::string, std::string> filter;
    for (const char *k : {"server", "login", "token", "display"}) {
        std::string v = query_value(r, k);
        if (!plain_text(v, 255))
            return problem(400, "Sessions", "That filter cannot be used.", who);
        if (!v.empty()) filter[k] = v;
    }
    std::string sort = query_value(r, "sort"), order = query_value(r, "order");
    if (std::find(kColumns.begin(), kColumns.end(), sort) == kColumns.end()) sort.clear();
    bool descending = !sort.empty() && order == "desc";

    const Snapshot *snap = &snap_ref;
    std::string view = sort + (descending ? "-" : "+");
    for (const auto &[k, v] : filter) add(view, {"\x1f", k, "=", v});
    std::shared_ptr<const std::string> rows;
    {
        std::lock_guard<std::mutex> lock(const_cast<Snapshot &>(*snap).lane);
        auto &tables = const_cast<Snapshot &>(*snap).tables;
        if (auto it = tables.find(view); it != tables.end()) rows = it->second;
    }
    if (!rows) {
        rows = std::make_shared<const std::string>(table_rows(*snap, filter, sort, descending));
        std::lock_guard<std::mutex> lock(const_cast<Snapshot &>(*snap).lane);
        auto &tables = const_cast<Snapshot &>(*snap).tables;
        if (tables.size() < 32) tables.emplace(view, rows);
    }

    std::string keep;  // the filters, for the sort links
    for (const auto &[k, v] : filter) keep += "&" + k + "=" + url_encode(v);
    std::string head;
    const char *titles[] = {"Server", "Token", "Registered Name", "Unix ID", "Display", "State"};
    for (size_t i = 0; i < kColumns.size(); ++i) {
        bool current = sort == kColumns[i];
        std::string next = current && !descending ? "desc" : "asc";
        add(head, {"<th><a class=\"sort\" data-column=\"", kColumns[i], "\" href=\"/sessions?sort=",
                   kColumns[i], "&order=", next, keep, "\">", titles[i],
                   current ? (descending ? " \xe2\x96\xbe" : " \xe2\x96\xb4") : "", "</a></th>"});
    }
    auto field = [&filter](const char *name, const char *label) {
        auto it = filter.find(name);
        return std::string("<label>") + label + " <input name=\"" + name + "\" value=\"" +
               (it == filter.end() ? "" : esc(it->second)) + "\" maxlength=\"255\"></label>\n";
    };
    size_t at = rows->find("</p>\n") + 5;  // the count, then the rows
    std::string content;
    content.reserve(rows->size() + 4096);
    content += failed_members(snap->listing) +
               "<form id=\"filter\" method=\"get\" action=\"/sessions\">\n" +
               field("server", "Server") + field("login", "Unix ID") + field("token", "Token") +
               field("display", "Display") +
               "<button type=\"submit\">Filter</button> <a href=\"/sessions\">all</a>\n</form>\n";
    content.append(*rows, 0, at);
    content += legend() +
               // One form holds the table: the buttons above act on the ticked
               // rows, each row's own buttons on that row.
               "<form id=\"bulk\" method=\"post\" action=\"/confirm\">"
               "<input type=\"hidden\" name=\"csrf\" value=\"" +
               masked(who.csrf) +
               "\">"
               "<p class=\"selected\">Ticked sessions: " +
               action_buttons() +
               "</p>\n"
               "<table id=\"sessions\">\n<thead><tr><th class=\"pick\"></th>" +
               head +
               "<th>Disconnected for</th><th>Ends in</th><th>Actions</th></tr></thead>\n<tbody>\n";
    content.append(*rows, at, std::string::npos);
    content += "</tbody>\n</table>\n</form>\n";
    return html(200, page("Sessions", who, content));
}

// ---- session limits -------------------------------------------------------------------------

// Sessions of one member shown on the limits page at most: the soonest to
// be ended come first, and a page for ten thousand sessions stays small.
constexpr size_t kLimitRows = 100;

std::string member_limits(const Snapshot &snap, size_t m) {
    const Listing &l = snap.listing;
    const MemberAnswer &a = l.members[m];
    const MemberLimitsNote note =
        m < snap.limits.members.size() ? snap.limits.members[m] : MemberLimitsNote{};
    std::string name = esc(a.member.name);
    std::string out = "<section class=\"member-limits\" data-server=\"" + name + "\">\n<h2>" +
                      name + (a.member.local ? " <small>(this host)</small>" : "") + "</h2>\n";
    if (!a.answered)
        return out + "<p class=\"down\">No listing: " + esc(a.reason) + "</p>\n</section>\n";
    if (!note.answered)
        return out + "<p class=\"down\">Its limits could not be asked: " +
               esc(note.text.empty() ? "no answer" : note.text) + "</p>\n</section>\n";
    if (!note.text.empty())
        out += "<p class=\"refused\">Would not act: " + esc(note.text) + "</p>\n";

    std::vector<size_t> under;  // sessions under a limit, or kept from one
    std::vector<std::string> in_force;
    size_t over = 0;
    for (size_t i = 0; i < l.sessions.size(); ++i) {
        const SessionTimes *t = l.sessions[i].member == m ? times_of(snap, i) : nullptr;
        if (!t || (t->limit.empty() && t->note.empty())) continue;
        under.push_back(i);
        if (t->ends_in && *t->ends_in == 0) ++over;
        std::string lt = limit_text(t);
        if (!t->limit.empty() && std::find(in_force.begin(), in_force.end(), lt) == in_force.end())
            in_force.push_back(lt);
    }
    std::string limits;
    for (const std::string &lt : in_force) limits += (limits.empty() ? "" : ", ") + lt;
    out += "<p class=\"in-force\">" + std::to_string(a.sessions) +
           (a.sessions == 1 ? " session, " : " sessions, ") + std::to_string(under.size()) +
           " under a limit or kept from one, " + std::to_string(over) + " over a limit now" +
           (limits.empty() ? "" : "; limits that apply: " + esc(limits)) + ".</p>\n";
    if (under.empty()) return out + "</section>\n";
    std::stable_sort(under.begin(), under.end(), [&snap](size_t x, size_t y) {
        const SessionTimes *tx = times_of(snap, x), *ty = times_of(snap, y);
        return tx->ends_in.value_or(INT64_MAX) < ty->ends_in.value_or(INT64_MAX);
    });
    out +=
        "<table class=\"limits\">\n<thead><tr><th>Token</th><th>Unix ID</th><th>Display</th>"
        "<th>Disconnected for</th><th>Idle for</th><th>Limit</th><th>Ends in</th></tr>"
        "</thead>\n<tbody>\n";
    for (size_t k = 0; k < under.size() && k < kLimitRows; ++k) {
        size_t i = under[k];
        const Session &s = l.sessions[i];
        const SessionTimes *t = times_of(snap, i);
        const char *login = s.text(Field::Login), *disp = s.text(Field::Display);
        std::string token = esc(display_token(s));
        add(out, {"<tr class=\"limit\" data-server=\"",
                  name,
                  "\" data-token=\"",
                  token,
                  "\"><td class=\"token\"><a href=\"/session?key=",
                  snap.keys[i],
                  "\">",
                  token,
                  "</a></td><td class=\"login\">",
                  esc(or_unknown(login)),
                  "</td><td class=\"display\">",
                  esc(disp ? disp : ""),
                  "</td><td class=\"disconnected-for\">",
                  esc(duration_or_dash(t->disconnected_s)),
                  "</td><td class=\"idle-for\">",
                  esc(duration_or_dash(t->idle_s)),
                  "</td><td class=\"limit\">",
                  esc(limit_text(t)),
                  "</td><td class=\"ends-in\">",
                  esc(ends_in(t)),
                  "</td></tr>\n"});
    }
    out += "</tbody>\n</table>\n";
    if (under.size() > kLimitRows)
        out += "<p class=\"more\">and " + std::to_string(under.size() - kLimitRows) +
               " more, to be ended later.</p>\n";
    return out + "</section>\n";
}

HttpResponse limits_page(const HttpRequest &, const Who &who, const Snapshot &snap) {
    std::string content =
        "<p id=\"limits-file\">This host's limits file: " + esc(snap.limits.summary) +
        "</p>\n<p class=\"legend\">Each member ends its own sessions, from its timer when it is "
        "enabled. Below is what each member's run would do now, as of the listing: the "
        "sessions under a limit, soonest first, and why a member would not act. Nothing on "
        "this page ends a session.</p>\n";
    for (size_t m = 0; m < snap.listing.members.size(); ++m) content += member_limits(snap, m);
    return html(200, page("Limits", who, content));
}

// ---- pages kept for the listing they show
// --------------------------------------------------------

// A page as gzip makes it, quickly: every browser takes it, and a table of
// a thousand sessions shrinks to a tenth.
std::optional<std::string> gzip(std::string_view in) {
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::nullopt;
    std::string out(deflateBound(&z, in.size()), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

bool accepts_gzip(const HttpRequest &r) {
    return r.accept_encoding.find("gzip") != std::string::npos;
}

// The pages that show the listing, for each login and address (path and
// query) they were asked for, while the helper answers the same listing:
// twenty administrators who look at the table at once cost one table and
// twenty pages, not one page each time each of them reloads it.
class Kept {
  public:
    std::optional<HttpResponse> find(const std::string &key, const Snapshot *snap) {
        std::lock_guard<std::mutex> lock(lane_);
        auto it = pages_.find(key);
        if (it == pages_.end() || it->second.snap.get() != snap) return std::nullopt;
        return it->second.res;
    }
    void keep(const std::string &key, std::shared_ptr<const Snapshot> snap,
              const HttpResponse &res) {
        std::lock_guard<std::mutex> lock(lane_);
        // Pages of an older listing go first; beyond a bound, all of them.
        std::erase_if(pages_, [&snap](const auto &p) { return p.second.snap != snap; });
        if (pages_.size() >= kMaxKept) pages_.clear();
        pages_[key] = {std::move(snap), res};
    }

  private:
    static constexpr size_t kMaxKept = 256;
    struct Page {
        std::shared_ptr<const Snapshot> snap;
        HttpResponse res;
    };
    std::mutex lane_;
    std::map<std::string, Page> pages_;
};

using Builder = HttpResponse (*)(const HttpRequest &, const Who &, const Snapshot &);

HttpResponse listing_page(const HttpRequest &r, const Helper &helper, const Who &who,
                          Builder build) {
    static Kept kept;
    double ms = 0;
    auto snap = snapshot(who, r, helper, ms);
    if (!snap) return problem(503, "Sessions", "The group's sessions cannot be listed now.", who);
    bool gz = accepts_gzip(r);
    std::string key = who.session + '\x1f' + r.path + (gz ? "\x1fgzip" : "");
    for (const auto &[k, v] : r.query) add(key, {"\x1f", k, "=", v});
    (void)ms;
    auto res = kept.find(key, snap.get());
    if (!res) {
        res = build(r, who, *snap);
        if (res->status == 200) {
            if (gz) {
                if (auto z = gzip(res->body)) {
                    res->body = std::move(*z);
                    res->content_encoding = "gzip";
                }
            }
            kept.keep(key, snap, *res);
        }
    }
    return std::move(*res);
}

// ---- one session ----------------------------------------------------------------------------

HttpResponse session_page(const HttpRequest &r, const Helper &helper, const Who &who) {
    std::string key = query_value(r, "key");
    double ms = 0;
    auto snap = snapshot(who, r, helper, ms);
    if (!snap) return problem(503, "Session", "The group's sessions cannot be listed now.", who);
    const Session *s = snap->find(key);
    if (!s) return problem(404, "Session", "That session is no longer there.", who);
    const Listing *l = &snap->listing;
    auto v = [s](Field f) { return esc(or_unknown(s->text(f))); };
    std::string content = "<p>Token <b id=\"token\">" + esc(display_token(*s)) + "</b> on <b>" +
                          esc(l->server(*s)) + "</b>, display " + v(Field::Display) + ", Unix ID " +
                          v(Field::Login) + ", state " + state_html(*s) + ".</p>\n";
    if (s->state() & kDisconnected) {
        content +=
            "<p id=\"disconnected\">The session is disconnected: no terminal shows it, so it has "
            "no security configuration now.</p>\n";
    } else {
        content += "<dl id=\"security\">\n";
        const std::pair<const char *, Field> rows[] = {{"encryptUpType", Field::EncUp},
                                                       {"encryptDownType", Field::EncDown},
                                                       {"authenticateUpType", Field::AuthUp},
                                                       {"authenticateDownType", Field::AuthDown},
                                                       {"securityMode", Field::Mode}};
        for (const auto &[name, f] : rows)
            content += "<dt>" + std::string(name) + "</dt><dd>" + v(f) + "</dd>\n";
        const char *primary = s->text(Field::TermPrimary);
        if (primary && *primary)
            content += "<dt>MultiheadGroupName</dt><dd>" + v(Field::MhGroup) +
                       "</dd>\n<dt>primaryCID</dt><dd>" + esc(primary) + "</dd>\n";
        content += "<dt>terminalCIDs</dt><dd>" + v(Field::TermList) + "</dd>\n</dl>\n";
    }
    HttpResponse res = html(200, page("Session", who, content));
    timing(res, ms);
    return res;
}

// ---- actions --------------------------------------------------------------------------------

struct Selection {
    std::string action;
    std::vector<Ref> refs;
    std::vector<std::string> keys;
};

bool known_action(const std::string &a) {
    return a == "terminate" || a == "suspend" || a == "resume";
}

// The action and the sessions that a form names. Keys are looked up in the
// current listing; a key that names no session there refuses the form.
std::optional<Selection> selection(const HttpRequest &r, const Snapshot &snap) {
    Selection sel;
    auto add = [&](const std::string &key) {
        const Session *s = snap.find(key);
        if (!s || sel.refs.size() == kMaxSelected) return false;
        if (std::find(sel.keys.begin(), sel.keys.end(), key) == sel.keys.end()) {
            sel.refs.push_back(ref_of(snap.listing, *s));
            sel.keys.push_back(key);
        }
        return true;
    };
    // A row's own button: that row alone, whatever else is ticked.
    if (const std::string *one = form_value(r, "one")) {
        size_t dot = one->find('.');
        if (dot == std::string::npos) return std::nullopt;
        sel.action = one->substr(0, dot);
        if (!known_action(sel.action) || !add(one->substr(dot + 1))) return std::nullopt;
        return sel;
    }
    for (const auto &[k, v] : r.form) {
        if (k == "action")
            sel.action = v;
        else if (k == "s" && !add(v))
            return std::nullopt;
    }
    if (!known_action(sel.action)) return std::nullopt;
    return sel;
}

std::string describe(const Ref &ref) {
    return "<b>" + esc(ref.f[0]) + "</b> display " + esc(ref.f[4].empty() ? "?" : ref.f[4]) +
           ", token " + esc(ref.f[1].empty() ? ref.f[2] : ref.f[1]) + ", Unix ID " +
           esc(ref.f[3].empty() ? "???" : ref.f[3]);
}

bool csrf_ok(const HttpRequest &r, const Who &who) {
    const std::string *csrf = form_value(r, "csrf");
    return csrf && unmasks_to(*csrf, who.csrf);
}

// The selection of a form that changes something: its own form token, and
// an action on sessions that the listing shows. Or the page that says why not.
std::variant<Selection, HttpResponse> checked(const HttpRequest &r, const Helper &helper,
                                              const Who &who, const char *title) {
    if (!csrf_ok(r, who)) return problem(403, title, "The form has expired. Reload the page.", who);
    double ms = 0;
    auto snap = snapshot(who, r, helper, ms);
    if (!snap) return problem(503, title, "The group's sessions cannot be listed now.", who);
    auto sel = selection(r, *snap);
    if (!sel || sel->refs.empty())
        return problem(400, title, "Nothing to do: choose an action and sessions that are there.",
                       who);
    return std::move(*sel);
}

HttpResponse confirm(const HttpRequest &r, const Helper &helper, const Who &who) {
    auto checked_form = checked(r, helper, who, "Confirm");
    if (auto *refusal = std::get_if<HttpResponse>(&checked_form)) return std::move(*refusal);
    auto *sel = &std::get<Selection>(checked_form);
    size_t n = sel->refs.size();
    std::string verb = sel->action;
    verb[0] = static_cast<char>(verb[0] - 'a' + 'A');
    std::string content = "<p>" + verb + " " +
                          (n == 1 ? "this session" : "these " + std::to_string(n) + " sessions") +
                          "?</p>\n<ul id=\"confirm-list\">\n";
    std::string hidden;
    for (size_t i = 0; i < n; ++i) {
        content += "<li>" + describe(sel->refs[i]) + "</li>\n";
        hidden += "<input type=\"hidden\" name=\"s\" value=\"" + sel->keys[i] + "\">";
    }
    content +=
        "</ul>\n<form id=\"confirm\" method=\"post\" action=\"/act\">"
        "<input type=\"hidden\" name=\"csrf\" value=\"" +
        masked(who.csrf) +
        "\">"
        "<input type=\"hidden\" name=\"action\" value=\"" +
        sel->action + "\">" + hidden + "\n";
    if (n > 1)
        content += "<label><input type=\"checkbox\" id=\"confirm-all\" name=\"all\" value=\"" +
                   std::to_string(n) + "\" required> " + verb + " all " + std::to_string(n) +
                   " selected</label>\n";
    content += "<button id=\"confirm-submit\" type=\"submit\">" + verb +
               "</button> "
               "<a href=\"/sessions\">Cancel</a>\n</form>\n";
    return html(200, page("Confirm", who, content));
}

HttpResponse act(const HttpRequest &r, const Helper &helper, const Who &who) {
    auto checked_form = checked(r, helper, who, "Action");
    if (auto *refusal = std::get_if<HttpResponse>(&checked_form)) return std::move(*refusal);
    auto *sel = &std::get<Selection>(checked_form);
    // Several sessions only with the explicit confirmation of all of them.
    const std::string *all = form_value(r, "all");
    if (sel->refs.size() > 1 && (!all || *all != std::to_string(sel->refs.size())))
        return problem(400, "Action",
                       "Acting on several sessions needs the confirmation of all of them.", who);
    Message request{static_cast<char>(Op::Act), {who.session, r.client, who.csrf, sel->action}};
    for (const Ref &ref : sel->refs)
        request.fields.insert(request.fields.end(), ref.f.begin(), ref.f.end());
    // The helper takes a request over its limits for a hostile one: what it
    // could not take is refused here, and never sent.
    if (!fits(request, kRequestLimits))
        return problem(413, "Action",
                       "These sessions cannot be acted on at once: their names are too long. "
                       "Choose fewer sessions.",
                       who);
    Message reply = helper(request);
    if (reply.kind != static_cast<char>(Status::Ok) ||
        reply.fields.size() != 1 + 2 * sel->refs.size())
        return problem(409, "Action",
                       reply.fields.empty() ? "The action was refused." : reply.fields[0], who);
    std::string content = "<ul id=\"outcomes\">\n";
    for (size_t i = 0; i < sel->refs.size(); ++i) {
        bool ok = reply.fields[1 + 2 * i] == "1";
        content += "<li class=\"outcome " + std::string(ok ? "ok" : "failed") + "\">" +
                   describe(sel->refs[i]) + ": " +
                   (ok ? "done" : "failed (" + esc(reply.fields[2 + 2 * i]) + ")") + "</li>\n";
    }
    content += "</ul>\n<p><a href=\"/sessions\">Back to the sessions</a></p>\n";
    return html(200, page("Outcome", who, content));
}

// ---- static files ---------------------------------------------------------------------------

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

void set_refresh(int seconds) {
    refresh_seconds = seconds;
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
