// The helper's rules, over a stand-in for PAM, the group and the log: what
// a login needs, that requests without a live session run nothing, and
// that an action runs only on sessions that the group shows exactly as
// named.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "listing_wire.h"
#include "service.h"

namespace {

using namespace std::chrono_literals;
using vkweb::Message;
using vkweb::Op;
using vkweb::Status;

struct FakeSession {
    std::string raw, token, login, display;
};

class FakeBackend : public vkweb::Backend {
  public:
    vkweb::Time clock = vkweb::Time{} + 1000h;
    std::map<std::string, std::string> passwords{{"alice", "right"}, {"bob", "right"}};
    std::vector<std::string> admins{"alice"};
    std::vector<std::string> member_names{"parvix1", "parvix2"};
    std::map<std::string, std::vector<FakeSession>> sessions;  // by member
    std::vector<std::string> silent;                           // members that do not answer
    int randoms = 0;

    // What ran.
    std::vector<std::string> pam_users;
    std::vector<std::vector<std::string>> listed;  // the members of each listing
    std::vector<std::string> acted;                // "action server display" each
    std::vector<std::string> security, actions;

    vkweb::Time now() override { return clock; }
    std::string random_hex(size_t bytes) override {
        std::string n = std::to_string(++randoms);
        return std::string(2 * bytes - n.size(), 'a') + n;
    }
    bool authenticate(const std::string &user, const std::string &password, const std::string &,
                      std::string &login, std::string &why) override {
        pam_users.push_back(user);
        auto p = passwords.find(user);
        if (p == passwords.end() || p->second != password) {
            why = "Authentication failure";
            return false;
        }
        login = user;
        return true;
    }
    bool administrator(const std::string &login) override {
        return std::find(admins.begin(), admins.end(), login) != admins.end();
    }
    bool members(std::vector<vkgroup::Member> &out, std::string &) override {
        for (const std::string &n : member_names) out.push_back({n, n == "parvix1"});
        return true;
    }
    vkgroup::Listing list(const std::vector<vkgroup::Member> &members, bool) override {
        vkgroup::Listing l;
        listed.emplace_back();
        for (const vkgroup::Member &m : members) {
            listed.back().push_back(m.name);
            bool answers = std::find(silent.begin(), silent.end(), m.name) == silent.end();
            l.members.push_back({m, answers, answers ? "" : "no answer within 20 s", {}, 0.1, 0});
            if (!answers) continue;
            for (const FakeSession &s : sessions[m.name]) {
                vk_UserSession_t r{};
                auto text = [](const std::string &t) { return t.empty() ? nullptr : const_cast<char *>(t.c_str()); };
                r.rawtoken = text(s.raw);
                r.tokenName = text(s.token);
                r.unixID = text(s.login);
                r.dispNo = text(s.display);
                r.server = const_cast<char *>(m.name.c_str());
                l.sessions.push_back(*vkgroup::Session::unpack(l.members.size() - 1, vkgroup::Session::pack(&r, {})));
                ++l.members.back().sessions;
            }
        }
        return l;
    }
    std::vector<vkgroup::Outcome> act(vkgroup::Action action, const vkgroup::Listing &l,
                                      const std::vector<size_t> &which) override {
        std::vector<vkgroup::Outcome> out;
        for (size_t i : which) {
            const vkgroup::Session &s = l.sessions[i];
            acted.push_back(std::string(vkweb::action_name(action)) + " " + l.server(s) + " " +
                            s.text(vkgroup::Field::Display));
            bool ok = std::string(s.text(vkgroup::Field::Display)) != "13";
            out.push_back({ok, ok ? "" : "Internal system error (-1)"});
        }
        return out;
    }
    void log_security(const std::string &line) override { security.push_back(line); }
    void log_action(const std::string &line) override { actions.push_back(line); }

    bool ran_anything() const { return !pam_users.empty() || !listed.empty() || !acted.empty(); }
};

Message msg(Op op, std::vector<std::string> fields) {
    return Message{static_cast<char>(op), std::move(fields)};
}

std::vector<std::string> refused(const std::string &why) {
    return {"E", why};
}

// The reply as its status letter and its fields, for comparisons.
std::vector<std::string> flat(const Message &m) {
    std::vector<std::string> v{std::string(1, m.kind)};
    v.insert(v.end(), m.fields.begin(), m.fields.end());
    return v;
}

struct Login {
    std::string id, csrf;
};

class WebService : public ::testing::Test {
  protected:
    FakeBackend backend;
    vkweb::Service service{backend};

    std::vector<std::string> send(Op op, std::vector<std::string> fields) {
        return flat(service.handle(msg(op, std::move(fields))));
    }
    std::vector<std::string> auth(const std::string &user, const std::string &password,
                                  const std::string &client = "10.0.0.1") {
        return send(Op::Auth, {user, password, client});
    }
    Login login() {
        std::vector<std::string> r = auth("alice", "right");
        EXPECT_EQ(r.size(), 4u);
        EXPECT_EQ(r[0], "O");
        return {r.at(1), r.at(3)};
    }
    std::vector<std::string> act(const Login &l, const std::string &action,
                                 const std::vector<std::vector<std::string>> &named) {
        std::vector<std::string> f{l.id, "10.0.0.9", l.csrf, action};
        for (const auto &n : named) f.insert(f.end(), n.begin(), n.end());
        return send(Op::Act, f);
    }
};

TEST_F(WebService, LoginNeedsTheRightPasswordAndTheAdministratorsGroup) {
    std::vector<std::string> r = auth("alice", "right");
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0], "O");
    EXPECT_EQ(r[1], std::string(63, 'a') + "1");  // the session id, from the random source
    EXPECT_EQ(r[2], "alice");
    EXPECT_EQ(r[3], std::string(63, 'a') + "2");  // the CSRF token
    // Wrong password, unknown user, not an administrator: the same reply,
    // the real reason in the log.
    backend.clock += 1h;
    EXPECT_EQ(auth("alice", "wrong", "10.0.0.2"), refused("login failed"));
    EXPECT_EQ(auth("mallory", "right", "10.0.0.3"), refused("login failed"));
    EXPECT_EQ(auth("bob", "right", "10.0.0.4"), refused("login failed"));
    EXPECT_EQ(backend.security,
              (std::vector<std::string>{"login of alice from 10.0.0.1",
                                        "login of alice from 10.0.0.2 failed: Authentication failure",
                                        "login of mallory from 10.0.0.3 failed: Authentication failure",
                                        "login of bob from 10.0.0.4 failed: not a member of the administrators' group"}));
    EXPECT_EQ(service.sessions(), 1u);
}

TEST_F(WebService, FailedLoginsBackOffWithoutAskingPam) {
    EXPECT_EQ(auth("alice", "wrong"), refused("login failed"));
    EXPECT_EQ(auth("alice", "right"), refused("too many failed logins; try again in 1 s"));
    backend.clock += 1s;
    EXPECT_EQ(auth("alice", "wrong"), refused("login failed"));
    backend.clock += 1s;
    EXPECT_EQ(auth("alice", "right"), refused("too many failed logins; try again in 1 s"));
    EXPECT_EQ(auth("alice", "right", "10.0.0.2")[0], "O");  // another address is not held up
    backend.clock += 1s;
    EXPECT_EQ(auth("alice", "right")[0], "O");
    EXPECT_EQ(backend.pam_users.size(), 4u);
    EXPECT_EQ(backend.security[1],
              "login of alice from 10.0.0.1 failed: earlier failures from this address; PAM not asked");
    // A success starts the schedule over.
    backend.clock += 1s;
    EXPECT_EQ(auth("alice", "wrong"), refused("login failed"));
    backend.clock += 1s;
    EXPECT_EQ(auth("alice", "right")[0], "O");

    // From many addresses at once: PAM is asked a few times a second at most.
    backend.clock += 1h;
    backend.pam_users.clear();
    for (int i = 0; i < 10; ++i) auth("alice", "wrong", "10.1.0." + std::to_string(i));
    EXPECT_EQ(backend.pam_users.size(), vkweb::Backoff::kAttemptsPerSecond);
}

TEST_F(WebService, WithoutALiveSessionNothingRuns) {
    const std::string nobody(64, '0');
    EXPECT_EQ(send(Op::WhoAmI, {nobody, "::1"}), refused("out of order"));
    EXPECT_EQ(send(Op::List, {nobody, "::1"}), refused("out of order"));
    EXPECT_EQ(send(Op::Logout, {nobody, nobody}), refused("out of order"));
    EXPECT_EQ(act({nobody, nobody}, "terminate", {{"parvix1", "r", "t", "alice", "1"}}), refused("out of order"));
    // Malformed requests do not even reach the session table.
    EXPECT_EQ(send(Op::Auth, {"alice", "right"}), refused("wrong number of fields"));
    EXPECT_EQ(send(static_cast<Op>('Z'), {}), refused("unknown request"));
    EXPECT_FALSE(backend.ran_anything());

    Login l = login();
    EXPECT_EQ(send(Op::WhoAmI, {l.id, "::1"}), (std::vector<std::string>{"O", "alice", l.csrf}));
    // A wrong CSRF token: no action, no logout.
    backend.sessions["parvix1"] = {{"r", "t", "alice", "1"}};
    EXPECT_EQ(act({l.id, std::string(64, 'b')}, "terminate", {{"parvix1", "r", "t", "alice", "1"}}),
              refused("bad CSRF token"));
    EXPECT_EQ(send(Op::Logout, {l.id, std::string(64, 'b')}), refused("bad CSRF token"));
    EXPECT_TRUE(backend.listed.empty());
    EXPECT_TRUE(backend.acted.empty());
    // After logout, and after 15 minutes unused, the session is gone.
    EXPECT_EQ(send(Op::Logout, {l.id, l.csrf}), (std::vector<std::string>{"O"}));
    EXPECT_EQ(send(Op::WhoAmI, {l.id, "::1"}), refused("out of order"));
    backend.clock += 1h;
    Login l2 = login();
    backend.clock += 15min;
    EXPECT_EQ(send(Op::List, {l2.id, "::1"}), refused("out of order"));
    EXPECT_TRUE(backend.listed.empty());
}

TEST_F(WebService, ListingsAreReusedForTwoSecondsAndAfterAnAction) {
    Login l = login();
    backend.sessions["parvix2"] = {{"raw1", "tok1", "bob", "3"}};
    std::vector<std::string> first = send(Op::List, {l.id, "::1"});
    ASSERT_EQ(first[0], "O");
    auto listing = vkweb::listing_from(std::vector<std::string>(first.begin() + 1, first.end()));
    ASSERT_TRUE(listing);
    ASSERT_EQ(listing->sessions.size(), 1u);
    EXPECT_EQ(listing->server(listing->sessions[0]), "parvix2");
    backend.clock += 1900ms;
    EXPECT_EQ(send(Op::List, {l.id, "::1"}), first);
    EXPECT_EQ(backend.listed.size(), 1u);
    backend.clock += 100ms;
    send(Op::List, {l.id, "::1"});
    EXPECT_EQ(backend.listed.size(), 2u);
    // An action, even a refused one, makes the next listing a fresh one.
    act(l, "terminate", {{"parvix2", "nope", "", "", ""}});
    EXPECT_EQ(backend.listed.size(), 3u);
    send(Op::List, {l.id, "::1"});
    EXPECT_EQ(backend.listed.size(), 4u);
}

TEST_F(WebService, ActionsRunOnlyOnSessionsShownExactlyAsNamed) {
    Login l = login();
    backend.member_names = {"parvix1", "parvix2", "parvix3"};
    backend.sessions["parvix1"] = {{"raw1", "tok1", "alice", "1"}, {"raw13", "tok13", "carol", "13"}};
    backend.sessions["parvix2"] = {{"raw2", "", "bob", "2"}, {"dup", "dup", "dup", "4"}, {"dup", "dup", "dup", "4"}};
    const std::vector<std::string> a1{"parvix1", "raw1", "tok1", "alice", "1"}, b2{"PARVIX2", "raw2", "", "bob", "2"};
    struct Case {
        std::vector<std::vector<std::string>> named;
        std::vector<std::string> reply;
    };
    const std::vector<Case> refusals = {
        {{{"parvix9", "raw1", "tok1", "alice", "1"}}, refused("not a member of the group: parvix9")},
        {{a1, {"parvix1", "raw1", "tok1", "alice", "2"}}, refused("no such session: parvix1 display 2")},
        {{{"parvix1", "raw1", "tok1", "bob", "1"}}, refused("no such session: parvix1 display 1")},
        {{{"parvix1", "raw1", "", "alice", "1"}}, refused("no such session: parvix1 display 1")},
        {{{"parvix2", "raw2", "tok2", "bob", "2"}}, refused("no such session: parvix2 display 2")},
        {{{"parvix2", "dup", "dup", "dup", "4"}}, refused("more than one session is parvix2 display 4")},
        {{a1, b2, {"parvix1", "raw1", "tok1", "alice", "1"}}, refused("a session named twice: parvix1 display 1")},
    };
    for (const Case &c : refusals) EXPECT_EQ(act(l, "terminate", c.named), c.reply) << c.reply[1];
    EXPECT_TRUE(backend.acted.empty());
    EXPECT_TRUE(backend.actions.empty());
    // A server outside the group and a session named twice are refused
    // before anything is asked; otherwise only the members that hold a
    // session named are asked.
    EXPECT_EQ(backend.listed.size(), 5u);
    EXPECT_EQ(backend.listed[0], (std::vector<std::string>{"parvix1"}));
    EXPECT_EQ(backend.listed[3], (std::vector<std::string>{"parvix2"}));

    backend.silent = {"parvix2"};
    EXPECT_EQ(act(l, "suspend", {a1, b2}), refused("parvix2 did not answer: no answer within 20 s"));
    EXPECT_TRUE(backend.acted.empty());
    backend.silent.clear();

    std::vector<std::vector<std::string>> three{b2, a1, {"parvix1", "raw13", "tok13", "carol", "13"}};
    EXPECT_EQ(act(l, "suspend", three),
              (std::vector<std::string>{"O", "3", "1", "", "1", "", "0", "Internal system error (-1)"}));
    EXPECT_EQ(backend.listed.back(), (std::vector<std::string>{"parvix1", "parvix2"}));
    EXPECT_EQ(backend.acted, (std::vector<std::string>{"suspend parvix2 2", "suspend parvix1 1", "suspend parvix1 13"}));
    EXPECT_EQ(backend.actions,
              (std::vector<std::string>{
                  "alice from 10.0.0.9: suspend PARVIX2 display 2 token - raw token raw2 login bob: done",
                  "alice from 10.0.0.9: suspend parvix1 display 1 token tok1 raw token raw1 login alice: done",
                  "alice from 10.0.0.9: suspend parvix1 display 13 token tok13 raw token raw13 login carol: "
                  "failed (Internal system error (-1))"}));
}

}  // namespace
