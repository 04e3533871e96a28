// The pages against a scripted helper: who reaches what and what each form
// must carry (what they show, filters, sorting and hostile names, is
// tested in a browser: web/tests/test_pages.py).
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "group.h"
#include "html.h"
#include "listing_fields.h"
#include "requests.h"
#include "web.h"

namespace {

using vkweb::HttpRequest;
using vkweb::HttpResponse;
using vkweb::Message;
using vkweb::Op;
using vkweb::Status;

const std::string kSession(64, 'a'), kCsrf(64, 'c'), kLoginToken(64, 'e');
// The login's token as a form sends it back: under a pad, here of zeros.
const std::string kMasked = std::string(64, '0') + kCsrf;
const std::string kHostile1 = "<script>alert(1)</script>",
                  kHostile2 = "\"><img src=x onerror=alert(1)>";

// A session of the listing, as a far side could have sent it.
vkgroup::Session session(size_t member, const std::string &token, const std::string &raw,
                         const std::string &login, const std::string &display,
                         int state = VK_SESSION_DISCONNECTED) {
    vk_UserSession_t r{};
    r.tokenName = const_cast<char *>(token.c_str());
    r.rawtoken = const_cast<char *>(raw.c_str());
    r.unixID = const_cast<char *>(login.c_str());
    r.dispNo = const_cast<char *>(display.c_str());
    r.state = state;
    return *vkgroup::Session::unpack(member, vkgroup::Session::pack(&r, std::nullopt));
}

vkgroup::Listing listing() {
    vkgroup::Listing l;
    auto member = [&l](const char *name, bool local, bool answered, std::string reason,
                       std::vector<std::string> warnings) {
        vkgroup::MemberAnswer a;
        a.member.name = name;
        a.member.local = local;
        a.answered = answered;
        a.reason = std::move(reason);
        a.warnings = std::move(warnings);
        l.members.push_back(std::move(a));
    };
    member("parvix1", true, true, "", {});
    member("parvix2", false, true, "", {"a record names another server (" + kHostile1 + ")"});
    member("parvix3", false, false, "cannot reach: " + kHostile2, {});
    l.sessions.push_back(session(0, "tokA", "rawA", "alice", "1"));
    l.sessions.push_back(session(1, kHostile1, kHostile2, kHostile2, "7", 0));
    return l;
}

// A helper that knows one login session and records what it is asked.
struct Fake {
    std::optional<vkgroup::Listing> group;  // listing() unless set
    vkweb::ListingLimits limits;            // none measured unless set
    std::vector<char> asked;
    std::vector<Message> acts;
    vkgroup::Listing (*shown)() = listing;
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
                return known ? ok(vkweb::listing_fields(group ? *group : shown(), limits))
                             : refused;
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
                 std::map<std::string, std::string> query = {}, const std::string &accept = "") {
    HttpRequest r{"GET", path, std::move(query), {}, cookie, "", "10.77.0.200", accept};
    return vkweb::handle(r, [&fake](const Message &m) { return fake(m); });
}

HttpResponse post(Fake &fake, const std::string &path,
                  std::vector<std::pair<std::string, std::string>> form,
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
    // Without the cookie the form came with, or with another token: the helper is not asked.
    for (const std::string &cookie : {std::string(), kLoginToken}) {
        HttpResponse r =
            post(fake, "/login", {{"csrf", token}, {"user", "alice"}, {"password", "right"}}, "",
                 cookie);
        EXPECT_NE(r.body.find("id=\"error\""), std::string::npos);
    }
    EXPECT_TRUE(fake.asked.empty());
    HttpResponse bad = post(fake, "/login",
                            {{"csrf", token}, {"user", "alice"}, {"password", "wrong"}}, "", token);
    EXPECT_EQ(bad.status, 401);
    HttpResponse good = post(
        fake, "/login", {{"csrf", token}, {"user", "alice"}, {"password", "right"}}, "", token);
    EXPECT_EQ(good.status, 303);
    EXPECT_EQ(header(good, "Location"), "/overview");
    EXPECT_EQ(header(good, "Set-Cookie"),
              "__Host-vkweb_session=" + kSession + "; Path=/; Secure; HttpOnly; SameSite=Strict");
    EXPECT_EQ(fake.asked, (std::vector<char>{'A', 'A'}));
}

TEST(WebPages, AnActionNeedsTheTokenAndSeveralNeedAllOfThem) {
    Fake fake;
    std::vector<std::string> ks = keys(get(fake, "/sessions").body);
    ASSERT_EQ(ks.size(), 2u);
    auto act = [&](std::vector<std::pair<std::string, std::string>> f) {
        return post(fake, "/act", std::move(f));
    };
    EXPECT_EQ(act({{"action", "terminate"}, {"s", ks[0]}}).status, 403);
    EXPECT_EQ(act({{"csrf", std::string(64, 'd')}, {"action", "terminate"}, {"s", ks[0]}}).status,
              403);
    EXPECT_EQ(act({{"csrf", kCsrf}, {"action", "terminate"}, {"s", ks[0]}}).status,
              403);  // not under a pad
    EXPECT_EQ(
        act({{"csrf", std::string(63, '0') + "1" + kCsrf}, {"action", "terminate"}, {"s", ks[0]}})
            .status,
        403);
    EXPECT_EQ(act({{"csrf", kMasked}, {"action", "reboot"}, {"s", ks[0]}}).status, 400);
    EXPECT_EQ(act({{"csrf", kMasked}, {"action", "terminate"}, {"s", "zz"}}).status, 400);
    EXPECT_EQ(act({{"csrf", kMasked}, {"action", "terminate"}, {"s", ks[0]}, {"s", ks[1]}}).status,
              400);
    EXPECT_EQ(
        act({{"csrf", kMasked}, {"action", "terminate"}, {"s", ks[0]}, {"s", ks[1]}, {"all", "1"}})
            .status,
        400);
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
    HttpResponse row =
        post(fake, "/confirm", {{"csrf", kMasked}, {"s", ks[1]}, {"one", "terminate." + ks[0]}});
    EXPECT_NE(row.body.find("this session"), std::string::npos);
    EXPECT_EQ(row.body.find("confirm-all"), std::string::npos);
    EXPECT_EQ(post(fake, "/confirm", {{"csrf", kMasked}, {"one", "reboot." + ks[0]}}).status, 400);
    // The confirmation names the session, and asks for all N when there are several.
    HttpResponse c2 = post(fake, "/confirm",
                           {{"csrf", kMasked}, {"action", "resume"}, {"s", ks[0]}, {"s", ks[1]}});
    EXPECT_NE(c2.body.find("id=\"confirm-all\" name=\"all\" value=\"2\""), std::string::npos);
    EXPECT_NE(c2.body.find("all 2 selected"), std::string::npos);
    EXPECT_EQ(post(fake, "/confirm", {{"csrf", kMasked}, {"action", "resume"}, {"s", ks[0]}})
                  .body.find("confirm-all"),
              std::string::npos);
}

// A far side's bidirectional controls would make a token look like another
// one, on the very page that confirms an action on it: each is one "?".
// The measured times in the table, and each member's dry run on the
// limits page: what a member says of itself and of its sessions is text.
TEST(WebPages, TheTimesInTheTableAndEachMembersDryRunOnTheLimitsPage) {
    Fake fake;
    fake.limits.summary = "disconnected 10m; <terminate>";
    fake.limits.members = {{true, ""}, {true, kHostile1}, {false, ""}};
    vkweb::SessionTimes a, b;
    a.disconnected_s = 125;
    a.limit = "disconnected";
    a.limit_s = 600;
    a.ends_in = 475;
    b.limit = "lifetime";
    b.limit_s = 3600;
    b.ends_in = 0;
    b.note = kHostile2;
    fake.limits.sessions = {a, b};

    HttpResponse table = get(fake, "/sessions");
    ASSERT_EQ(table.status, 200);
    EXPECT_NE(table.body.find("<th>Disconnected for</th><th>Ends in</th>"), std::string::npos);
    EXPECT_NE(table.body.find("<td class=\"disconnected-for\">2m</td>"
                              "<td class=\"ends-in\">7m</td>"),
              std::string::npos);
    EXPECT_NE(table.body.find("<td class=\"disconnected-for\">-</td><td class=\"ends-in\">now "
                              "(&quot;&gt;&lt;img src=x onerror=alert(1)&gt;)</td>"),
              std::string::npos);
    EXPECT_NE(table.body.find("href=\"/limits\""), std::string::npos);

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
    EXPECT_NE(section("parvix1").find("1 session, 1 under a limit or kept from one, 0 over a "
                                      "limit now; limits that apply: disconnected 10m."),
              std::string::npos);
    EXPECT_NE(section("parvix1").find("<td class=\"ends-in\">7m</td>"), std::string::npos);
    EXPECT_NE(section("parvix2").find("Would not act: &lt;script&gt;"), std::string::npos);
    EXPECT_NE(section("parvix2").find("1 over a limit now; limits that apply: lifetime 1h 00m"),
              std::string::npos);
    EXPECT_NE(section("parvix3").find("No listing: cannot reach"), std::string::npos);
    // No form on it: the page only reads.
    EXPECT_EQ(page.body.find("<form", page.body.find("<main>")), std::string::npos);
}

TEST(WebPages, BidirectionalControlsShowAsQuestionMarks) {
    const std::vector<std::string> controls = {"\xd8\x9c",     "\xe2\x80\x8e", "\xe2\x80\x8f",
                                               "\xe2\x80\xaa", "\xe2\x80\xab", "\xe2\x80\xac",
                                               "\xe2\x80\xad", "\xe2\x80\xae", "\xe2\x81\xa6",
                                               "\xe2\x81\xa7", "\xe2\x81\xa8", "\xe2\x81\xa9"};
    Fake fake;
    fake.shown = [] {
        vkgroup::Listing l = listing();
        l.sessions[0] = session(0,
                                "card-\xe2\x80\xae"
                                "fed\xe2\x80\xac-1",
                                "raw\xe2\x81\xa6"
                                "A\xe2\x81\xa9\xd8\x9c",
                                "al\xe2\x80\x8fice\xe2\x80\x8e\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xad",
                                "1\xe2\x81\xa7\xe2\x81\xa8");
        return l;
    };
    HttpResponse page = get(fake, "/sessions");
    std::vector<std::string> ks = keys(page.body);
    ASSERT_EQ(ks.size(), 2u);
    HttpResponse confirm =
        post(fake, "/confirm", {{"csrf", kMasked}, {"action", "terminate"}, {"s", ks[0]}});
    for (const HttpResponse *r : {&page, &confirm}) {
        EXPECT_EQ(r->status, 200);
        for (const std::string &c : controls) EXPECT_EQ(r->body.find(c), std::string::npos);
        EXPECT_NE(r->body.find("raw?A??"), std::string::npos);
        EXPECT_NE(r->body.find("al?ice????"), std::string::npos);
        EXPECT_NE(r->body.find("1??"), std::string::npos);
    }
}

// An action on as many sessions as the pages let one tick, each with
// every field at its bound, reaches the helper; what the helper could not
// take is refused with a page of its own and never sent.
TEST(WebPages, TheLargestBulkActionIsSentAndNothingLarger) {
    Fake fake;
    const std::string host253 = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                                std::string(63, 'c') + "." + std::string(61, 'd');
    vkgroup::Listing l;
    l.members.push_back({{host253, false}, true, "", {}, 0.1, 0});
    for (size_t i = 0; i <= vkweb::kMaxActSessions; ++i) {
        std::string n = std::to_string(i);
        l.sessions.push_back(session(0, std::string(255 - n.size(), 't') + n,
                                     std::string(255 - n.size(), 'r') + n, std::string(121, 'l'),
                                     std::string(118 - n.size(), '9') + n));
    }
    l.sessions.push_back(session(0, "long", std::string(vkweb::kMaxPassword + 1, 'r'), "l", "1"));
    fake.group = l;
    std::vector<std::string> ks = keys(get(fake, "/sessions").body);
    ASSERT_EQ(ks.size(), vkweb::kMaxActSessions + 2);
    auto bulk = [&](size_t from, size_t n) {
        std::vector<std::pair<std::string, std::string>> f{{"csrf", kMasked},
                                                           {"action", "suspend"}};
        for (size_t i = from; i < from + n; ++i) f.emplace_back("s", ks[i]);
        f.emplace_back("all", std::to_string(n));
        return post(fake, "/act", std::move(f));
    };
    HttpResponse largest = bulk(0, vkweb::kMaxActSessions);
    EXPECT_EQ(largest.status, 200);
    ASSERT_EQ(fake.acts.size(), 1u);
    // At the bound but for the client's address and the action's name.
    EXPECT_EQ(vkweb::encode(fake.acts[0]).size(),
              4 + vkweb::kRequestLimits.max_body - (vkweb::kMaxClient - 11) - (9 - 7));
    EXPECT_EQ(bulk(0, vkweb::kMaxActSessions + 1).status, 400);
    // A session whose raw token the helper would not take, beside one
    // that it would.
    HttpResponse over = bulk(vkweb::kMaxActSessions, 2);
    EXPECT_EQ(over.status, 413);
    EXPECT_NE(over.body.find("cannot be acted on at once"), std::string::npos);
    EXPECT_EQ(fake.acts.size(), 1u);
}

// What a browser that takes gzip gets is the page, compressed; the form
// token on it is under a fresh pad, never the token itself.
TEST(WebPages, GzipAndTheFormTokenUnderAPad) {
    Fake fake;
    HttpResponse plain = get(fake, "/sessions"),
                 zipped = get(fake, "/sessions", kSession, {}, "gzip, deflate, br");
    EXPECT_EQ(plain.content_encoding, "");
    ASSERT_EQ(zipped.content_encoding, "gzip");
    std::string page(1 << 20, '\0');
    z_stream z{};
    ASSERT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
    z.next_in = reinterpret_cast<Bytef *>(zipped.body.data());
    z.avail_in = static_cast<uInt>(zipped.body.size());
    z.next_out = reinterpret_cast<Bytef *>(page.data());
    z.avail_out = static_cast<uInt>(page.size());
    ASSERT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    page.resize(z.total_out);
    inflateEnd(&z);
    std::regex token("name=\"csrf\" value=\"[0-9a-f]{128}\"");
    EXPECT_EQ(std::regex_replace(page, token, "T"), std::regex_replace(plain.body, token, "T"));
    EXPECT_EQ(plain.body.find(kCsrf), std::string::npos);
    EXPECT_EQ(page.find(kCsrf), std::string::npos);
}

TEST(WebForms, BodiesAndEscapes) {
    std::vector<std::pair<std::string, std::string>> f;
    ASSERT_TRUE(vkweb::parse_form("a=1&b=x+y%21&&c&d=%3D", 10, f));
    EXPECT_EQ(f, (std::vector<std::pair<std::string, std::string>>{
                     {"a", "1"}, {"b", "x y!"}, {"c", ""}, {"d", "="}}));
    for (const char *bad : {"a=%", "a=%4", "a=%zz", "%g0=1"})
        EXPECT_FALSE(vkweb::parse_form(bad, 10, f)) << bad;
    EXPECT_FALSE(vkweb::parse_form("a=1&b=2&c=3", 2, f));
    EXPECT_EQ(vkweb::esc("<a href='x'>\"&\x1b"), "&lt;a href=&#39;x&#39;&gt;&quot;&amp;?");
    EXPECT_EQ(vkweb::url_encode("a b/&=\xc3\xbc"), "a%20b%2F%26%3D%C3%BC");
    std::string raw;
    EXPECT_TRUE(vkweb::from_hex(vkweb::to_hex(std::string("\0\x1f\xff", 3)), raw));
    EXPECT_EQ(raw, std::string("\0\x1f\xff", 3));
    EXPECT_FALSE(vkweb::from_hex("abc", raw));
    for (std::string bytes : {std::string(), std::string("a"), std::string("ab"),
                              std::string("abc"), std::string("\0\xfe\xff\x1f", 4)}) {
        std::string text = vkweb::to_base64url(bytes);
        EXPECT_TRUE(vkweb::from_base64url(text, raw)) << text;
        EXPECT_EQ(raw, bytes);
    }
    EXPECT_EQ(vkweb::to_base64url("\xfb\xff"), "-_8");
    for (const char *bad : {"a", "ab=c", "a b", "YQ+/", "YR"})
        EXPECT_FALSE(vkweb::from_base64url(bad, raw)) << bad;
}

}  // namespace
