// The pages against a scripted helper: who reaches what, what each form
// must carry, and names from the far side that are scripts (what the pages
// show, filters and sorting are tested in a browser: web/tests/test_pages.py).
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "group.h"
#include "html.h"
#include "listing_fields.h"
#include "packed_session.h"
#include "requests.h"
#include "web.h"

namespace {

using vkweb::HttpRequest;
using vkweb::HttpResponse;
using vkweb::Message;
using vkweb::Op;
using vkweb::Status;
using Form = std::vector<std::pair<std::string, std::string>>;

const std::string kSession(64, 'a'), kCsrf(64, 'c'), kLoginToken(64, 'e');
// The login's token as a form sends it back: under a pad, here of zeros.
const std::string kMasked = std::string(64, '0') + kCsrf;
const std::string kHostile1 = "<script>alert(1)</script>",
                  kHostile2 = "\"><img src=x onerror=alert(1)>";

vkgroup::Listing listing() {
    vkgroup::Listing l;
    l.members.push_back({{"parvix1", true}, true, "", {}, 0, 0});
    const std::string warning = "a record names another server (" + kHostile1 + ")";
    l.members.push_back({{"parvix2", false}, true, "", {warning}, 0, 0});
    l.members.push_back({{"parvix3", false}, false, "cannot reach: " + kHostile2, {}, 0, 0});
    l.sessions.push_back(webtest::packed_session(0, "rawA", "tokA", "alice", "1"));
    l.sessions.push_back(
        webtest::packed_session(1, kHostile2.c_str(), kHostile1.c_str(), kHostile2.c_str(), "7"));
    return l;
}

// A helper that knows one login session and records what it is asked.
struct Fake {
    vkgroup::Listing group = listing();
    vkweb::ListingLimits limits;  // none measured unless set
    std::vector<char> asked;
    std::vector<Message> acts;
    Message operator()(const Message &m) {
        asked.push_back(m.kind);
        auto ok = [](std::vector<std::string> f) {
            return Message{static_cast<char>(Status::Ok), std::move(f)};
        };
        Message refused{static_cast<char>(Status::Refused), {"refused"}};
        bool known = !m.fields.empty() && m.fields[0] == kSession;
        switch (static_cast<Op>(m.kind)) {
            case Op::Auth:
                return m.fields.at(1) == "right" ? ok({kSession, m.fields.at(0), kCsrf}) : refused;
            case Op::WhoAmI:
                return known ? ok({"alice", kCsrf}) : refused;
            case Op::List:
                return known ? ok(vkweb::listing_fields(group, limits)) : refused;
            case Op::Act: {
                acts.push_back(m);
                std::vector<std::string> f = {std::to_string((m.fields.size() - 4) / 5)};
                for (size_t i = 4; i < m.fields.size(); i += 5) f.insert(f.end(), {"1", ""});
                return ok(f);
            }
            case Op::Logout:
                return ok({});
        }
        return refused;
    }
};

HttpResponse get(Fake &fake, const std::string &path, const std::string &cookie = kSession,
                 std::map<std::string, std::string> query = {}) {
    HttpRequest r{"GET", path, std::move(query), {}, cookie, "", "10.77.0.200", ""};
    return vkweb::handle(r, [&fake](const Message &m) { return fake(m); });
}

HttpResponse post(Fake &fake, const std::string &path, Form form,
                  const std::string &cookie = kSession, const std::string &login_cookie = "") {
    HttpRequest r{"POST", path, {}, std::move(form), cookie, login_cookie, "10.77.0.200", ""};
    return vkweb::handle(r, [&fake](const Message &m) { return fake(m); });
}

std::string header(const HttpResponse &r, const std::string &name) {
    for (const auto &[k, v] : r.headers)
        if (k == name) return v;
    return {};
}

// The session keys that a page offers, in its order.
std::vector<std::string> keys(const std::string &html) {
    std::vector<std::string> out;
    std::regex key("name=\"s\" value=\"([A-Za-z0-9_-]+)\">");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), key);
         it != std::sregex_iterator(); ++it)
        out.push_back((*it)[1]);
    return out;
}

TEST(WebPages, NothingButTheLoginPageWithoutALogin) {
    const std::vector<std::string> pages = {"/", "/overview", "/sessions", "/limits", "/session"};
    const std::vector<std::string> posts = {"/confirm", "/act", "/overview"};
    // No cookie, a cookie that is no session id, and a forged one.
    for (const std::string &cookie : {std::string(), std::string("x"), std::string(64, 'f')}) {
        Fake fake;
        for (const std::string &p : pages) {
            HttpResponse r = get(fake, p, cookie);
            EXPECT_EQ(r.status, 303) << p;
            EXPECT_EQ(header(r, "Location"), "/login") << p;
        }
        for (const std::string &p : posts) {
            HttpResponse r =
                post(fake, p, {{"csrf", kMasked}, {"action", "terminate"}, {"s", "00"}}, cookie);
            EXPECT_EQ(header(r, "Location"), "/login") << p;
        }
        // The helper was asked who is logged in, never anything else.
        for (char k : fake.asked) EXPECT_EQ(k, static_cast<char>(Op::WhoAmI)) << cookie;
        EXPECT_EQ(fake.asked.empty(), cookie.size() != 64) << cookie;
    }
}

TEST(WebPages, EveryResponseCarriesTheSecurityHeaders) {
    Fake fake;
    for (const HttpResponse &r : {get(fake, "/login", ""), get(fake, "/sessions"),
                                  get(fake, "/nowhere"), get(fake, "/static/vkweb.js")}) {
        std::map<std::string, std::string> h;
        for (const auto &[k, v] : vkweb::security_headers(r)) h[k] = v;
        EXPECT_EQ(h["Content-Security-Policy"].rfind("default-src 'self';", 0), 0u);
        EXPECT_EQ(h["Content-Security-Policy"].find("unsafe-inline"), std::string::npos);
        EXPECT_EQ(h["X-Frame-Options"], "DENY");
        EXPECT_EQ(h["X-Content-Type-Options"], "nosniff");
        EXPECT_NE(h["Strict-Transport-Security"], "");
        EXPECT_EQ(h["Cache-Control"], r.cacheable ? "public, max-age=3600" : "no-store");
    }
    EXPECT_FALSE(get(fake, "/sessions").cacheable);
}

TEST(WebPages, LoginNeedsTheFormsOwnTokenAndSetsAStrictCookie) {
    Fake fake;
    HttpResponse page = get(fake, "/login", "");
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(page.body, m, std::regex("name=\"csrf\" value=\"([0-9a-f]{64})\"")));
    std::string token = m[1];
    EXPECT_EQ(header(page, "Set-Cookie"),
              "vkweb_login=" + token + "; Path=/login; Secure; HttpOnly; SameSite=Strict");
    auto login = [&](const std::string &password, const std::string &cookie) {
        return post(fake, "/login", {{"csrf", token}, {"user", "alice"}, {"password", password}},
                    "", cookie);
    };
    // Without the cookie the form came with, or with another token: the helper is not asked.
    for (const std::string &cookie : {std::string(), kLoginToken})
        EXPECT_NE(login("right", cookie).body.find("id=\"error\""), std::string::npos);
    EXPECT_TRUE(fake.asked.empty());
    EXPECT_EQ(login("wrong", token).status, 401);
    HttpResponse good = login("right", token);
    EXPECT_EQ(good.status, 303);
    EXPECT_EQ(header(good, "Location"), "/overview");
    EXPECT_EQ(header(good, "Set-Cookie"),
              "__Host-vkweb_session=" + kSession + "; Path=/; Secure; HttpOnly; SameSite=Strict");
    EXPECT_EQ(fake.asked, (std::vector<char>{'A', 'A'}));
}

TEST(WebPages, AnActionNeedsTheTokenAndSeveralNeedAllOfThem) {
    Fake fake;
    const std::string page = get(fake, "/sessions").body;
    // The token on a page is under a pad, never bare, so that a compressed
    // page (browsers take gzip) does not give it away byte by byte.
    EXPECT_TRUE(std::regex_search(page, std::regex("name=\"csrf\" value=\"[0-9a-f]{128}\"")));
    EXPECT_EQ(page.find(kCsrf), std::string::npos);
    std::vector<std::string> ks = keys(page);
    ASSERT_EQ(ks.size(), 2u);
    auto act = [&](Form f) { return post(fake, "/act", std::move(f)); };
    auto confirm = [&](Form f) {
        f.insert(f.begin(), {"csrf", kMasked});
        return post(fake, "/confirm", std::move(f));
    };
    const std::string wrong_pad = std::string(63, '0') + "1" + kCsrf;
    const std::vector<std::pair<Form, int>> refused = {
        {{{"action", "terminate"}, {"s", ks[0]}}, 403},
        {{{"csrf", std::string(64, 'd')}, {"action", "terminate"}, {"s", ks[0]}}, 403},
        {{{"csrf", kCsrf}, {"action", "terminate"}, {"s", ks[0]}}, 403},
        {{{"csrf", wrong_pad}, {"action", "terminate"}, {"s", ks[0]}}, 403},
        {{{"csrf", kMasked}, {"action", "reboot"}, {"s", ks[0]}}, 400},
        {{{"csrf", kMasked}, {"action", "terminate"}, {"s", "zz"}}, 400},
        {{{"csrf", kMasked}, {"action", "terminate"}, {"s", ks[0]}, {"s", ks[1]}}, 400},
        {{{"csrf", kMasked}, {"action", "terminate"}, {"s", ks[0]}, {"s", ks[1]}, {"all", "1"}},
         400},
    };
    for (size_t i = 0; i < refused.size(); ++i)
        EXPECT_EQ(act(refused[i].first).status, refused[i].second) << i;
    EXPECT_TRUE(fake.acts.empty());
    HttpResponse one = act({{"csrf", kMasked}, {"action", "suspend"}, {"s", ks[0]}});
    HttpResponse both =
        act({{"csrf", kMasked}, {"action", "terminate"}, {"s", ks[0]}, {"s", ks[1]}, {"all", "2"}});
    EXPECT_NE(both.body.find("<li class=\"outcome ok\">"), std::string::npos);
    ASSERT_EQ(fake.acts.size(), 2u);
    EXPECT_EQ(fake.acts[0].fields,
              (std::vector<std::string>{kSession, "10.77.0.200", kCsrf, "suspend", "parvix1",
                                        "rawA", "tokA", "alice", "1"}));
    EXPECT_EQ(fake.acts[1].fields.size(), 4u + 10u);
    EXPECT_EQ(fake.acts[1].fields[4 + 5 + 2], kHostile1);
    // A row's own button acts on that row, whatever else is ticked.
    HttpResponse row = confirm({{"s", ks[1]}, {"one", "terminate." + ks[0]}});
    EXPECT_NE(row.body.find("this session"), std::string::npos);
    EXPECT_EQ(row.body.find("confirm-all"), std::string::npos);
    EXPECT_EQ(confirm({{"one", "reboot." + ks[0]}}).status, 400);
    // The confirmation names the session, and asks for all N when there are several.
    HttpResponse c2 = confirm({{"action", "resume"}, {"s", ks[0]}, {"s", ks[1]}});
    EXPECT_NE(c2.body.find("id=\"confirm-all\" name=\"all\" value=\"2\""), std::string::npos);
    EXPECT_NE(c2.body.find("all 2 selected"), std::string::npos);
    EXPECT_EQ(confirm({{"action", "resume"}, {"s", ks[0]}}).body.find("confirm-all"),
              std::string::npos);
}

// What a far side names a session, and what its member says of itself, is
// text on every page that shows it: the table, the overview and the
// session's own page.
TEST(WebPages, NamesThatAreScriptsShowAsText) {
    Fake fake;
    const std::string table = get(fake, "/sessions").body;
    std::vector<std::string> ks = keys(table);
    ASSERT_EQ(ks.size(), 2u);
    const std::string one = get(fake, "/session", kSession, {{"key", ks[1]}}).body;
    for (const std::string &page : {table, one, get(fake, "/overview").body}) {
        EXPECT_EQ(page.find(kHostile1), std::string::npos) << page;
        EXPECT_EQ(page.find(kHostile2), std::string::npos) << page;
    }
    for (const std::string &name : {kHostile1, kHostile2})
        EXPECT_NE(table.find(vkweb::esc(name)), std::string::npos) << name;
}

// The measured times in the table, and each member's dry run on the
// limits page: what a member says of itself and of its sessions is text
// (the browser tests show the columns and a page without forms).
TEST(WebPages, TheTimesInTheTableAndEachMembersDryRunOnTheLimitsPage) {
    Fake fake;
    fake.limits.summary = "disconnected 10m; <terminate>";
    fake.limits.members = {{true, ""}, {true, kHostile1}, {false, ""}};
    // Disconnected for, idle for, limit, its length, ends in, note.
    fake.limits.sessions = {vkweb::SessionTimes{125, {}, "disconnected", 600, 475, ""},
                            vkweb::SessionTimes{{}, {}, "lifetime", 3600, 0, kHostile2}};

    HttpResponse table = get(fake, "/sessions");
    ASSERT_EQ(table.status, 200);
    EXPECT_NE(table.body.find("<td class=\"disconnected-for\">2m</td>"
                              "<td class=\"ends-in\">7m</td>"),
              std::string::npos);
    EXPECT_NE(table.body.find("<td class=\"disconnected-for\">-</td><td class=\"ends-in\">now "
                              "(&quot;&gt;&lt;img src=x onerror=alert(1)&gt;)</td>"),
              std::string::npos);

    HttpResponse page = get(fake, "/limits");
    ASSERT_EQ(page.status, 200);
    for (const std::string &h : {kHostile1, kHostile2, std::string("<terminate>")})
        EXPECT_EQ(page.body.find(h), std::string::npos) << h;
    EXPECT_NE(page.body.find("limits file: disconnected 10m; &lt;terminate&gt;"),
              std::string::npos);
    auto section = [&page](const std::string &server) {
        size_t at = page.body.find("<section class=\"member-limits\" data-server=\"" + server);
        return at == std::string::npos
                   ? std::string()
                   : page.body.substr(at, page.body.find("</section>", at) - at);
    };
    EXPECT_NE(section("parvix1").find("<td class=\"ends-in\">7m</td>"), std::string::npos);
    EXPECT_NE(section("parvix2").find("Would not act: &lt;script&gt;"), std::string::npos);
    EXPECT_NE(section("parvix2").find("1 over a limit now; limits that apply: lifetime 1h 00m"),
              std::string::npos);
    EXPECT_NE(section("parvix3").find("No listing: cannot reach"), std::string::npos);
}

// Beside the largest action (every field at its bound: the browser tests
// send it), more sessions than the pages let one tick, or a field the
// helper would not take, is refused with a page of its own and never sent.
TEST(WebPages, NothingLargerThanTheLargestBulkActionIsSent) {
    Fake fake;
    vkgroup::Listing l;
    l.members.push_back({{"parvix2", false}, true, "", {}, 0.1, 0});
    for (size_t i = 0; i <= vkweb::kMaxActSessions; ++i) {
        std::string n = std::to_string(i), token = "t" + n, raw = "r" + n;
        l.sessions.push_back(
            webtest::packed_session(0, raw.c_str(), token.c_str(), "l", n.c_str()));
    }
    const std::string too_long(vkweb::kMaxPassword + 1, 'r');
    l.sessions.push_back(webtest::packed_session(0, too_long.c_str(), "long", "l", "1"));
    fake.group = l;
    std::vector<std::string> ks = keys(get(fake, "/sessions").body);
    ASSERT_EQ(ks.size(), vkweb::kMaxActSessions + 2);
    auto bulk = [&](size_t from, size_t n) {
        Form f{{"csrf", kMasked}, {"action", "suspend"}};
        for (size_t i = from; i < from + n; ++i) f.emplace_back("s", ks[i]);
        f.emplace_back("all", std::to_string(n));
        return post(fake, "/act", std::move(f));
    };
    EXPECT_EQ(bulk(0, vkweb::kMaxActSessions + 1).status, 400);
    // A session whose raw token the helper would not take, beside one
    // that it would.
    HttpResponse over = bulk(vkweb::kMaxActSessions, 2);
    EXPECT_EQ(over.status, 413);
    EXPECT_NE(over.body.find("cannot be acted on at once"), std::string::npos);
    EXPECT_TRUE(fake.acts.empty());
}

TEST(WebForms, BodiesAndEscapes) {
    std::vector<std::pair<std::string, std::string>> f;
    ASSERT_TRUE(vkweb::parse_form("a=1&b=x+y%21&&c&d=%3D", 10, f));
    EXPECT_EQ(f, (std::vector<std::pair<std::string, std::string>>{
                     {"a", "1"}, {"b", "x y!"}, {"c", ""}, {"d", "="}}));
    for (const char *bad : {"a=%", "a=%4", "a=%zz", "%g0=1"})
        EXPECT_FALSE(vkweb::parse_form(bad, 10, f)) << bad;
    EXPECT_FALSE(vkweb::parse_form("a=1&b=2&c=3", 2, f));
    // A far side's bidirectional override would make a token look like
    // another one: it is one "?", as a control character is.
    EXPECT_EQ(vkweb::esc("<a href='x'>\"&\x1b\xe2\x80\xae"),
              "&lt;a href=&#39;x&#39;&gt;&quot;&amp;??");
    EXPECT_EQ(vkweb::url_encode("a b/&=\xc3\xbc"), "a%20b%2F%26%3D%C3%BC");
    std::string raw;
    EXPECT_TRUE(vkweb::from_hex(vkweb::to_hex(std::string("\0\x1f\xff", 3)), raw));
    EXPECT_EQ(raw, std::string("\0\x1f\xff", 3));
    EXPECT_FALSE(vkweb::from_hex("abc", raw));
    for (std::string bytes : {std::string(), std::string("ab"), std::string("\0\xfe\xff\x1f", 4)}) {
        std::string text = vkweb::to_base64url(bytes);
        EXPECT_TRUE(vkweb::from_base64url(text, raw)) << text;
        EXPECT_EQ(raw, bytes);
    }
    EXPECT_EQ(vkweb::to_base64url("\xfb\xff"), "-_8");
    for (const char *bad : {"a", "ab=c", "YQ+/", "YR"})
        EXPECT_FALSE(vkweb::from_base64url(bad, raw)) << bad;
}

}  // namespace
