// The helper's checks of each request: every field at and just over its
// bound, each operation's field count, and the forms of names, addresses
// and ids.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "requests.h"

namespace {

using vkweb::Message;
using vkweb::Op;

const std::string kId(64, 'a');
const std::string kCsrf = std::string(32, '0') + std::string(32, 'f');
// The longest server name, of four labels.
const std::string kHost253 = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                             std::string(63, 'c') + "." + std::string(61, 'd');

Message msg(Op op, std::vector<std::string> fields) {
    return Message{static_cast<char>(op), std::move(fields)};
}

// An Act on `n` sessions, each with these fields.
Message act(size_t n,
            const std::vector<std::string> &session = {"parvix2", "raw1", "tok1", "alice", "3"},
            const std::string &action = "terminate") {
    std::vector<std::string> f{kId, "10.0.0.1", kCsrf, action};
    for (size_t i = 0; i < n; ++i) f.insert(f.end(), session.begin(), session.end());
    return msg(Op::Act, f);
}

std::string refusal(const Message &m) {
    vkweb::Checked c = vkweb::check_request(m);
    return c.ok ? "" : c.refusal;
}

// Each operation's fields, one more or one fewer, and in place of each of
// its login's ids and CSRF tokens (sixty-four lower-case hex digits) one
// that is not.
TEST(WebRequests, EachOperationTakesExactlyItsFieldsAndItsIdsInTheirForm) {
    const std::vector<std::pair<Op, std::vector<std::string>>> good = {
        {Op::Auth, {"alice", "secret", "10.0.0.1"}},
        {Op::WhoAmI, {kId, "::1", "1"}},
        {Op::WhoAmI, {kId, "::1", "0"}},
        {Op::List, {kId, "192.168.1.20"}},
        {Op::Logout, {kId, kCsrf}},
        {Op::Act, act(1).fields},
    };
    const std::vector<std::string> bad_ids = {
        std::string(63, 'a'),       std::string(65, 'a'),       std::string(64, 'A'),
        std::string(63, 'a') + "g", std::string(63, 'a') + " ", std::string()};
    for (const auto &[op, fields] : good) {
        EXPECT_EQ(refusal(msg(op, fields)), "") << static_cast<char>(op);
        std::vector<std::string> more = fields, fewer = fields;
        more.emplace_back("x");
        fewer.pop_back();
        EXPECT_EQ(refusal(msg(op, more)), "wrong number of fields") << static_cast<char>(op);
        EXPECT_EQ(refusal(msg(op, fewer)), "wrong number of fields") << static_cast<char>(op);
        EXPECT_EQ(refusal(msg(op, {})), "wrong number of fields") << static_cast<char>(op);
        for (size_t at = 0; at < fields.size(); ++at) {
            if (fields[at] != kId && fields[at] != kCsrf) continue;
            for (const std::string &bad : bad_ids) {
                std::vector<std::string> f = fields;
                f[at] = bad;
                EXPECT_EQ(refusal(msg(op, f)), at == 0 ? "bad session id" : "bad CSRF token")
                    << static_cast<char>(op) << at << bad;
            }
        }
    }
    EXPECT_EQ(refusal(msg(Op::List, {kId, "localhost"})), "bad client address");
    // Act: four fields, then five a session, one session at least and
    // 1000 at most.
    EXPECT_EQ(refusal(act(1000)), "");
    EXPECT_EQ(refusal(act(1001)), "too many sessions");
    EXPECT_EQ(refusal(act(0)), "wrong number of fields");
    for (char kind : {'\0', 'a', 'x', 'O', 'E', '\xff'})
        EXPECT_EQ(refusal(Message{kind, {kId, "::1"}}), "unknown request") << int(kind);

    // (The sessions named are read as the service's tests show.)
    vkweb::Checked c = vkweb::check_request(act(2, {"parvix2", "", "tok", "", "7"}, "resume"));
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(std::get<vkweb::ActRequest>(c.request).action, vkweb::Action::Resume);
    // Whether a login was used is said in so many words, not guessed.
    EXPECT_EQ(refusal(msg(Op::WhoAmI, {kId, "::1", "yes"})), "bad use");
}

TEST(WebRequests, CredentialsAtAndOverTheirBounds) {
    struct Case {
        std::string user, password, client, refusal;
    };
    const std::string user32(32, 'u'), pw512(512, 'p');
    const std::vector<Case> cases = {
        {user32, pw512, "255.255.255.255", ""},
        {"a.b_c-d9", "p\xc3\xa4ss w\xc3\xb6rd", "fe80::1:2", ""},
        {user32 + "u", "x", "10.0.0.1", "bad user name"},
        {"", "x", "10.0.0.1", "bad user name"},
        {"alice;id", "x", "10.0.0.1", "bad user name"},
        {"alice", pw512 + "p", "10.0.0.1", "bad password"},
        {"alice", "", "10.0.0.1", "bad password"},
        {"alice", std::string("pass\0word", 9), "10.0.0.1", "bad password"},
        {"alice", "pass\x7fword", "10.0.0.1", "bad password"},
        {"alice", "x", "10.0.0.256", "bad client address"},
        {"alice", "x", "fe80::1%eth0", "bad client address"},
        {"alice", "x", std::string("10.0.0.1\0", 9), "bad client address"},
        {"alice", "x", "::ffff:" + std::string(60, '0'), "bad client address"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(refusal(msg(Op::Auth, {c.user, c.password, c.client})), c.refusal)
            << c.user << " / " << c.client;
    // The longest text an IPv6 address has, and one byte more.
    const std::string longest = "0000:0000:0000:0000:0000:ffff:255.255.255.255";
    EXPECT_TRUE(vkweb::client_address(longest));
    EXPECT_FALSE(vkweb::client_address(std::string(65, '1')));
}

TEST(WebRequests, NamedSessionsAtAndOverTheirBounds) {
    struct Case {
        std::vector<std::string> session;  // server, raw token, token, login, display
        std::string refusal;
    };
    const std::string t255(255, 't'), l121(121, 'l'), d118(118, '9');
    const std::vector<Case> cases = {
        {{kHost253, t255, t255, l121, d118}, ""},
        {{"parvix2", "", "", "", ""}, ""},
        {{"parvix2", "$(touch /tmp/x)`id`'\"|&;", "t", "l", "1"}, ""},
        {{kHost253 + "e", "r", "t", "l", "1"}, "bad server name"},
        {{"root@parvix2", "r", "t", "l", "1"}, "bad server name"},
        {{"parvix2", t255 + "t", "t", "l", "1"}, "bad raw token"},
        {{"parvix2", "r", t255 + "t", "l", "1"}, "bad token"},
        {{"parvix2", "r", "t", l121 + "l", "1"}, "bad login"},
        {{"parvix2", "r", "t", "l", d118 + "9"}, "bad display"},
        {{"parvix2", "r", "t", "l", "1\t"}, "bad display"},
    };
    for (const Case &c : cases) EXPECT_EQ(refusal(act(1, c.session)), c.refusal) << c.session[0];
    // A bad session anywhere in the list refuses the whole request.
    Message m = act(3);
    m.fields[4 + 2 * 5 + 4] = d118 + "9";
    EXPECT_EQ(refusal(m), "bad display");
    for (const char *a : {"Terminate", "terminate "})
        EXPECT_EQ(refusal(act(1, {"parvix2", "r", "t", "l", "1"}, a)), "unknown action") << a;
}

// The largest action the pages offer: every session with every field at
// its bound. It is within the limits that the helper reads with, exactly,
// and passes its checks; one session more, or one field over the largest
// bound, is not sent at all.
TEST(WebRequests, TheLargestActionIsTheLimitOfARequest) {
    const std::vector<std::string> largest{kHost253, std::string(255, 'r'), std::string(255, 't'),
                                           std::string(121, 'l'), std::string(118, '9')};
    Message m = act(vkweb::kMaxActSessions, largest);
    std::string bytes = vkweb::encode(m);
    auto back = vkweb::decode(std::string_view(bytes).substr(4), vkweb::kRequestLimits);
    ASSERT_TRUE(back);
    // Every session is its own: the checks refuse none of them.
    EXPECT_EQ(refusal(*back), "");

    Message longer = act(1, {"parvix2", std::string(vkweb::kMaxPassword + 1, 'r'), "t", "l", "1"});
    EXPECT_FALSE(vkweb::fits(longer, vkweb::kRequestLimits));
    std::string over = vkweb::encode(longer);
    EXPECT_FALSE(vkweb::decode(std::string_view(over).substr(4), vkweb::kRequestLimits));
    // One field more than the largest action has, however short.
    Message many = act(vkweb::kMaxActSessions, {"p", "r", "t", "l", "1"});
    many.fields.emplace_back();
    std::string more = vkweb::encode(many);
    EXPECT_FALSE(vkweb::decode(std::string_view(more).substr(4), vkweb::kRequestLimits));
}

}  // namespace
