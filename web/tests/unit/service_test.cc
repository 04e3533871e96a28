// The rule of actions, over a stand-in for PAM, the group and the log: an
// action runs only on sessions that the group shows exactly as named, and
// a request that names one otherwise runs none (logins, their back-off and
// requests without a session are tested against real PAM end to end).
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "listing_fields.h"
#include "service.h"

namespace {

using vkweb::Message;
using vkweb::Op;

struct FakeSession {
    std::string raw, token, login, display;
};

// Everyone logs in; the group is the sessions given; an action fails on
// display 13.
class FakeBackend : public vkweb::Backend {
  public:
    std::map<std::string, std::vector<FakeSession>> sessions;  // by member
    std::vector<std::string> silent;                           // members that do not answer
    std::vector<std::vector<std::string>> listed;              // the members of each listing
    std::vector<std::string> acted, actions;                   // what ran, what was logged

    int ticks = 0, randoms = 0;
    std::optional<int> clock;  // the time in seconds, when a test sets it

    // Unless set, a second passes at every look at the clock: logins are
    // never held up.
    vkweb::Time now() override {
        return vkweb::Time{} + std::chrono::seconds(clock ? *clock : ++ticks);
    }
    std::string random_hex(size_t bytes) override {
        std::string n = std::to_string(++randoms);
        return std::string(2 * bytes - n.size(), 'a') + n;
    }
    bool authenticate(const std::string &user, const std::string &, const std::string &,
                      std::string &login, std::string &) override {
        login = user;
        return true;
    }
    bool administrator(const std::string &) override { return true; }
    bool members(std::vector<vkgroup::Member> &out, std::string &) override {
        for (std::string n : {"parvix1", "parvix2", "parvix3"}) out.push_back({n, n == "parvix1"});
        return true;
    }
    vkgroup::Listing list(const std::vector<vkgroup::Member> &members, bool) override {
        vkgroup::Listing l;
        listed.emplace_back();
        for (const vkgroup::Member &m : members) {
            listed.back().push_back(m.name);
            bool answers = std::find(silent.begin(), silent.end(), m.name) == silent.end();
            l.members.push_back({m, answers, answers ? "" : "no answer within 20 s", {}, 0.1, 0});
            for (const FakeSession &s : answers ? sessions[m.name] : std::vector<FakeSession>{}) {
                auto text = [](const std::string &t) {
                    return t.empty() ? nullptr : const_cast<char *>(t.c_str());
                };
                vk_UserSession_t r{};
                r.rawtoken = text(s.raw);
                r.tokenName = text(s.token);
                r.unixID = text(s.login);
                r.dispNo = text(s.display);
                l.sessions.push_back(
                    *vkgroup::Session::unpack(l.members.size() - 1, vkgroup::pack_session(&r, {})));
            }
        }
        return l;
    }
    std::vector<vkgroup::Outcome> act(vkweb::Action action, const vkgroup::Listing &l,
                                      const std::vector<size_t> &which) override {
        std::vector<vkgroup::Outcome> out;
        for (size_t i : which) {
            std::string display = l.sessions[i].text(vkgroup::Field::Display);
            acted.push_back(std::string(vkweb::action_name(action)) + " " +
                            l.server(l.sessions[i]) + " " + display);
            out.push_back({display != "13", display != "13" ? "" : "Internal system error (-1)"});
        }
        return out;
    }
    // Each member's sessions idle for 30 s of a limit of a minute, at 1000 s.
    std::vector<std::vector<std::string>> limited;  // the members of each dry run
    GroupLimits limits(const std::vector<vkgroup::Member> &members) override {
        GroupLimits g;
        g.now = 1000;
        g.summary = "idle 1m";
        limited.emplace_back();
        for (const vkgroup::Member &m : members) {
            limited.back().push_back(m.name);
            vkgroup::MemberLimits ml;
            ml.answer = {m, true, "", {}, 0.1, 0};
            for (const FakeSession &s : sessions[m.name]) {
                vkgroup::LimitEntry e;
                e.display = s.display;
                e.raw_token = s.raw;
                e.idle_s = 30;
                e.limit = "idle";
                e.limit_s = 60;
                e.ends_at = 1030;
                ml.entries.push_back(e);
            }
            g.members.push_back(std::move(ml));
        }
        return g;
    }
    void log_security(const std::string &) override {}
    void log_action(const std::string &line) override { actions.push_back(line); }
};

std::vector<std::string> refused(const std::string &why) {
    return {"E", why};
}

// Logs in, then sends an Act with the sessions named; the reply as its
// status letter and its fields.
std::vector<std::string> act(vkweb::Service &service, const std::string &action,
                             const std::vector<std::vector<std::string>> &named) {
    Message login =
        service.handle(Message{static_cast<char>(Op::Auth), {"alice", "pw", "10.0.0.9"}});
    std::vector<std::string> f{login.fields.at(0), "10.0.0.9", login.fields.at(2), action};
    for (const auto &n : named) f.insert(f.end(), n.begin(), n.end());
    Message reply = service.handle(Message{static_cast<char>(Op::Act), f});
    std::vector<std::string> v{std::string(1, reply.kind)};
    v.insert(v.end(), reply.fields.begin(), reply.fields.end());
    return v;
}

TEST(WebService, ActionsRunOnlyOnSessionsShownExactlyAsNamed) {
    FakeBackend backend;
    vkweb::Service service{backend};
    backend.sessions["parvix1"] = {{"raw1", "tok1", "alice", "1"},
                                   {"raw13", "tok13", "carol", "13"}};
    backend.sessions["parvix2"] = {
        {"raw2", "", "bob", "2"}, {"dup", "dup", "dup", "4"}, {"dup", "dup", "dup", "4"}};
    const std::vector<std::string> a1{"parvix1", "raw1", "tok1", "alice", "1"},
        b2{"PARVIX2", "raw2", "", "bob", "2"};
    struct Case {
        std::vector<std::vector<std::string>> named;
        std::vector<std::string> reply;
    };
    const std::vector<Case> refusals = {
        {{{"parvix9", "raw1", "tok1", "alice", "1"}},
         refused("not a member of the group: parvix9")},
        {{a1, {"parvix1", "raw1", "tok1", "alice", "2"}},
         refused("no such session: parvix1 display 2")},
        {{{"parvix1", "raw1", "tok1", "bob", "1"}}, refused("no such session: parvix1 display 1")},
        {{{"parvix1", "raw1", "", "alice", "1"}}, refused("no such session: parvix1 display 1")},
        {{{"parvix2", "raw2", "tok2", "bob", "2"}}, refused("no such session: parvix2 display 2")},
        {{{"parvix2", "dup", "dup", "dup", "4"}},
         refused("more than one session is parvix2 display 4")},
        {{a1, b2, {"parvix1", "raw1", "tok1", "alice", "1"}},
         refused("a session named twice: parvix1 display 1")},
    };
    for (const Case &c : refusals)
        EXPECT_EQ(act(service, "terminate", c.named), c.reply) << c.reply[1];
    EXPECT_TRUE(backend.acted.empty());
    EXPECT_TRUE(backend.actions.empty());
    // A server outside the group and a session named twice are refused
    // before anything is asked; otherwise only the members that hold a
    // session named are asked.
    EXPECT_EQ(backend.listed.size(), 5u);
    EXPECT_EQ(backend.listed[0], (std::vector<std::string>{"parvix1"}));
    EXPECT_EQ(backend.listed[3], (std::vector<std::string>{"parvix2"}));

    backend.silent = {"parvix2"};
    EXPECT_EQ(act(service, "suspend", {a1, b2}),
              refused("parvix2 did not answer: no answer within 20 s"));
    EXPECT_TRUE(backend.acted.empty());
    backend.silent.clear();

    std::vector<std::vector<std::string>> three{
        b2, a1, {"parvix1", "raw13", "tok13", "carol", "13"}};
    EXPECT_EQ(
        act(service, "suspend", three),
        (std::vector<std::string>{"O", "3", "1", "", "1", "", "0", "Internal system error (-1)"}));
    EXPECT_EQ(backend.listed.back(), (std::vector<std::string>{"parvix1", "parvix2"}));
    EXPECT_EQ(backend.acted, (std::vector<std::string>{"suspend parvix2 2", "suspend parvix1 1",
                                                       "suspend parvix1 13"}));
    const std::string by = "alice from 10.0.0.9: suspend ";
    EXPECT_EQ(backend.actions,
              (std::vector<std::string>{
                  by + "PARVIX2 display 2 token - raw token raw2 login bob: done",
                  by + "parvix1 display 1 token tok1 raw token raw1 login alice: done",
                  by + "parvix1 display 13 token tok13 raw token raw13 login carol: failed "
                       "(Internal system error (-1))"}));
}

// Only what waits for the group is planned apart: a fresh listing, and an
// action that passed its checks. Logins, their checks and a listing kept
// are answered at once, and nothing reaches the group while planning.
TEST(WebService, OnlyTheGroupsWorkIsPlannedApart) {
    using Kind = vkweb::Plan::Kind;
    FakeBackend backend;
    backend.sessions["parvix1"] = {{"raw1", "tok1", "alice", "1"}};
    vkweb::Service service{backend, vkweb::LoginSessions::kIdle, vkweb::LoginSessions::kLifetime,
                           std::chrono::seconds(25)};
    auto plan = [&service](Op op, std::vector<std::string> f, bool refreshing = false) {
        return service.begin(Message{static_cast<char>(op), std::move(f)}, refreshing);
    };
    vkweb::Plan login = plan(Op::Auth, {"alice", "pw", "10.0.0.9"});
    ASSERT_EQ(login.kind, Kind::Now);
    const std::string sid = login.reply.fields.at(0), csrf = login.reply.fields.at(2);
    backend.clock = 100;
    EXPECT_EQ(plan(Op::WhoAmI, {sid, "10.0.0.9", "1"}).kind, Kind::Now);
    EXPECT_EQ(plan(Op::List, {std::string(64, 'f'), "10.0.0.9"}).kind, Kind::Now);
    EXPECT_EQ(plan(Op::List, {sid, "10.0.0.9"}).kind, Kind::Listing);
    // Even with a fresh listing on its way, none is kept yet to answer.
    EXPECT_EQ(plan(Op::List, {sid, "10.0.0.9"}, true).kind, Kind::Listing);
    EXPECT_TRUE(backend.listed.empty());

    const unsigned before = service.actions();
    Message fresh = service.fresh_listing();
    EXPECT_EQ(backend.listed.size(), 1u);
    service.listed(fresh, before);
    vkweb::Plan again = plan(Op::List, {sid, "10.0.0.9"});
    EXPECT_EQ(again.kind, Kind::Now);
    EXPECT_EQ(again.reply.fields, fresh.fields);
    // No longer fresh: asked anew, but answered from what is kept while a
    // fresh listing is on its way, up to the time given.
    backend.clock = 103;
    EXPECT_EQ(plan(Op::List, {sid, "10.0.0.9"}).kind, Kind::Listing);
    EXPECT_EQ(plan(Op::List, {sid, "10.0.0.9"}, true).kind, Kind::Now);
    backend.clock = 124;
    EXPECT_EQ(plan(Op::List, {sid, "10.0.0.9"}, true).reply.fields, fresh.fields);
    backend.clock = 125;
    EXPECT_EQ(plan(Op::List, {sid, "10.0.0.9"}, true).kind, Kind::Listing);

    const std::vector<std::string> a1{"parvix1", "raw1", "tok1", "alice", "1"};
    std::vector<std::string> act{sid, "10.0.0.9", std::string(64, '0'), "suspend"};
    act.insert(act.end(), a1.begin(), a1.end());
    EXPECT_EQ(plan(Op::Act, act).reply.fields, (std::vector<std::string>{"bad CSRF token"}));
    act[2] = csrf;
    vkweb::Plan work = plan(Op::Act, act);
    ASSERT_EQ(work.kind, Kind::Work);
    EXPECT_TRUE(backend.acted.empty());
    EXPECT_EQ(service.work(work).fields, (std::vector<std::string>{"1", "1", ""}));
    EXPECT_EQ(backend.acted, (std::vector<std::string>{"suspend parvix1 1"}));
    // What an action changed is not answered from what was kept, nor from
    // a listing begun before it ended.
    backend.clock = 110;
    service.listed(fresh, service.actions());
    service.acted();
    EXPECT_EQ(plan(Op::List, {sid, "10.0.0.9"}, true).kind, Kind::Listing);
    service.listed(fresh, before);
    EXPECT_EQ(plan(Op::List, {sid, "10.0.0.9"}, true).kind, Kind::Listing);
    service.listed(fresh, service.actions());
    EXPECT_EQ(plan(Op::List, {sid, "10.0.0.9"}).kind, Kind::Now);
    EXPECT_EQ(plan(Op::Logout, {sid, csrf}).kind, Kind::Now);
    EXPECT_EQ(plan(Op::WhoAmI, {sid, "10.0.0.9", "1"}).reply.fields,
              (std::vector<std::string>{"out of order"}));
}

// A fresh listing asks the limits of the members that answered it, and
// carries each session's times and the summary to the web side.
TEST(WebService, AFreshListingCarriesTheLimitsOfTheMembersThatAnswered) {
    FakeBackend backend;
    backend.sessions["parvix1"] = {{"raw1", "tok1", "alice", "1"}};
    backend.sessions["parvix2"] = {{"raw2", "tok2", "bob", "2"}};
    backend.sessions["parvix3"] = {{"raw3", "tok3", "dave", "3"}};
    backend.silent = {"parvix2"};
    vkweb::Service service{backend};
    Message reply = service.fresh_listing();
    ASSERT_EQ(reply.kind, static_cast<char>(vkweb::Status::Ok));
    EXPECT_EQ(backend.limited, (std::vector<std::vector<std::string>>{{"parvix1", "parvix3"}}));
    vkweb::ListingLimits limits;
    auto l = vkweb::listing_from(reply.fields, 0, &limits);
    ASSERT_TRUE(l);
    const vkweb::SessionTimes idle{{}, 30, "idle", 60, 30, ""};
    EXPECT_EQ(limits.sessions, (std::vector<std::optional<vkweb::SessionTimes>>{idle, idle}));
    EXPECT_EQ(limits.summary, "idle 1m");
    EXPECT_TRUE(limits.members[0].answered);
    EXPECT_FALSE(limits.members[1].answered);
}

}  // namespace
