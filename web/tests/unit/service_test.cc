// The helper's service over a stand-in for PAM, the group and the log: the
// rule of actions (they run only on sessions that the group shows exactly
// as named, and a request that names one otherwise runs none), what is
// planned apart, and the listing kept while a fresh one is fetched: pages
// are answered at once from it as long as it is young enough to show, and
// only one fresh listing is fetched at a time, however many pages ask.
// (Logins, their back-off and requests without a session are tested
// against real PAM end to end.)
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "listing_fields.h"
#include "listing_wire.h"
#include "packed_session.h"
#include "service.h"

namespace {

using namespace std::chrono_literals;
using vkweb::Message;
using vkweb::Op;
using vkweb::Plan;
using Kind = vkweb::Plan::Kind;
using Fields = std::vector<std::string>;

struct FakeSession {
    std::string raw, token, login, display;
};

// Everyone logs in; the group is parvix1 to parvix3 with the sessions
// given; an action fails on display 13. Each listing tells itself from the
// ones before by its members' answer time: the number of listings so far.
class FakeBackend : public vkweb::Backend {
  public:
    std::map<std::string, std::vector<FakeSession>> sessions;  // by member
    std::vector<std::string> silent;                           // members that do not answer
    std::vector<Fields> listed;                                // the members of each listing
    std::vector<Fields> limited;                               // the members of each dry run
    Fields acted, actions;                                     // what ran, what was logged

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
        const double at = static_cast<double>(listed.size());
        for (const vkgroup::Member &m : members) {
            listed.back().push_back(m.name);
            bool answers = std::find(silent.begin(), silent.end(), m.name) == silent.end();
            l.members.push_back({m, answers, answers ? "" : "no answer within 20 s", {}, at, 0});
            auto text = [](const std::string &t) { return t.empty() ? nullptr : t.c_str(); };
            for (const FakeSession &s : answers ? sessions[m.name] : std::vector<FakeSession>{})
                l.sessions.push_back(webtest::packed_session(l.members.size() - 1, text(s.raw),
                                                             text(s.token), text(s.login),
                                                             text(s.display)));
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
    GroupLimits limits(const std::vector<vkgroup::Member> &members) override {
        GroupLimits g;
        g.now = 1000;
        g.summary = "idle 1m";
        limited.emplace_back();
        for (const vkgroup::Member &m : members) {
            limited.back().push_back(m.name);
            vkgroup::MemberLimits ml;
            ml.answer = {m, true, "", {}, 0.1, 0};
            for (const FakeSession &s : sessions[m.name])
                ml.entries.push_back({.display = s.display,
                                      .raw_token = s.raw,
                                      .idle_s = 30,
                                      .limit = "idle",
                                      .limit_s = 60,
                                      .ends_at = 1030});
            g.members.push_back(std::move(ml));
        }
        return g;
    }
    void log_security(const std::string &) override {}
    void log_action(const std::string &line) override { actions.push_back(line); }
};

// The service with alice logged in from 10.0.0.9, and what the helper's
// loop does with what it plans.
struct Helper {
    FakeBackend backend;
    vkweb::Service service{backend};
    std::string sid, csrf;

    Helper() {
        Message r = service.handle({static_cast<char>(Op::Auth), {"alice", "pw", "10.0.0.9"}});
        sid = r.fields.at(0);
        csrf = r.fields.at(2);
    }
    Plan plan(Op op, Fields f, bool refreshing = false) {
        return service.begin({static_cast<char>(op), std::move(f)}, refreshing);
    }
    Plan list(bool refreshing = false) { return plan(Op::List, {sid, "10.0.0.9"}, refreshing); }
    // A fresh listing, run apart.
    Message fetch() {
        unsigned since = service.actions();
        Message fresh = service.fresh_listing();
        service.listed(fresh, since);
        return fresh;
    }
    // A listing fetched at 100 s, and the clock a second on: soon due.
    Message kept_at_100() {
        backend.clock = 100;
        list();
        Message at100 = fetch();
        backend.clock = 101;
        return at100;
    }
    // An Act with the sessions named, run in line: the reply as its status
    // letter and its fields.
    Fields act(const std::string &action, const std::vector<Fields> &named) {
        Fields f{sid, "10.0.0.9", csrf, action};
        for (const Fields &n : named) f.insert(f.end(), n.begin(), n.end());
        Message reply = service.handle(Message{static_cast<char>(Op::Act), f});
        Fields v{std::string(1, reply.kind)};
        v.insert(v.end(), reply.fields.begin(), reply.fields.end());
        return v;
    }
};

TEST(WebService, ActionsRunOnlyOnSessionsShownExactlyAsNamed) {
    Helper h;
    FakeBackend &backend = h.backend;
    backend.sessions["parvix1"] = {{"raw1", "tok1", "alice", "1"},
                                   {"raw13", "tok13", "carol", "13"}};
    backend.sessions["parvix2"] = {
        {"raw2", "", "bob", "2"}, {"dup", "dup", "dup", "4"}, {"dup", "dup", "dup", "4"}};
    const Fields a1{"parvix1", "raw1", "tok1", "alice", "1"}, b2{"PARVIX2", "raw2", "", "bob", "2"};
    // Sessions named otherwise than the group shows them, or named twice.
    const std::vector<std::pair<std::vector<Fields>, std::string>> refusals = {
        {{{"parvix9", "raw1", "tok1", "alice", "1"}}, "not a member of the group: parvix9"},
        {{a1, {"parvix1", "raw1", "tok1", "alice", "2"}}, "no such session: parvix1 display 2"},
        {{{"parvix1", "raw1", "tok1", "bob", "1"}}, "no such session: parvix1 display 1"},
        {{{"parvix2", "raw2", "tok2", "bob", "2"}}, "no such session: parvix2 display 2"},
        {{{"parvix2", "dup", "dup", "dup", "4"}}, "more than one session is parvix2 display 4"},
        {{a1, b2, {"parvix1", "raw1", "tok1", "alice", "1"}},
         "a session named twice: parvix1 display 1"},
    };
    for (const auto &[named, why] : refusals)
        EXPECT_EQ(h.act("terminate", named), (Fields{"E", why})) << why;
    EXPECT_TRUE(backend.acted.empty());
    EXPECT_TRUE(backend.actions.empty());
    // A server outside the group and a session named twice are refused
    // before anything is asked; otherwise only the members that hold a
    // session named are asked.
    EXPECT_EQ(backend.listed.size(), 4u);
    EXPECT_EQ(backend.listed[0], (Fields{"parvix1"}));
    EXPECT_EQ(backend.listed[2], (Fields{"parvix2"}));

    backend.silent = {"parvix2"};
    EXPECT_EQ(h.act("suspend", {a1, b2}),
              (Fields{"E", "parvix2 did not answer: no answer within 20 s"}));
    EXPECT_TRUE(backend.acted.empty());
    backend.silent.clear();

    EXPECT_EQ(h.act("suspend", {b2, a1, {"parvix1", "raw13", "tok13", "carol", "13"}}),
              (Fields{"O", "3", "1", "", "1", "", "0", "Internal system error (-1)"}));
    EXPECT_EQ(backend.listed.back(), (Fields{"parvix1", "parvix2"}));
    EXPECT_EQ(backend.acted,
              (Fields{"suspend parvix2 2", "suspend parvix1 1", "suspend parvix1 13"}));
    const std::string by = "alice from 10.0.0.9: suspend ";
    EXPECT_EQ(backend.actions,
              (Fields{by + "PARVIX2 display 2 token - raw token raw2 login bob: done",
                      by + "parvix1 display 1 token tok1 raw token raw1 login alice: done",
                      by + "parvix1 display 13 token tok13 raw token raw13 login carol: failed "
                           "(Internal system error (-1))"}));
}

// Only what waits for the group is planned apart: a fresh listing (the
// tests below), and an action that passed its checks. The checks of a
// login are answered at once, and nothing reaches the group while planning.
TEST(WebService, OnlyTheGroupsWorkIsPlannedApart) {
    Helper h;
    h.backend.sessions["parvix1"] = {{"raw1", "tok1", "alice", "1"}};
    EXPECT_EQ(h.plan(Op::WhoAmI, {h.sid, "10.0.0.9", "1"}).reply.fields, (Fields{"alice", h.csrf}));
    EXPECT_EQ(h.plan(Op::List, {std::string(64, 'f'), "10.0.0.9"}).reply.fields,
              (Fields{"out of order"}));
    Fields act{h.sid,   "10.0.0.9", std::string(64, '0'), "suspend", "parvix1", "raw1", "tok1",
               "alice", "1"};
    EXPECT_EQ(h.plan(Op::Act, act).reply.fields, (Fields{"bad CSRF token"}));
    act[2] = h.csrf;
    Plan work = h.plan(Op::Act, act);
    ASSERT_EQ(work.kind, Kind::Work);
    EXPECT_TRUE(h.backend.listed.empty());
    EXPECT_TRUE(h.backend.acted.empty());
    EXPECT_EQ(h.service.work(work).fields, (Fields{"1", "1", ""}));
    EXPECT_EQ(h.backend.acted, (Fields{"suspend parvix1 1"}));
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
    EXPECT_EQ(backend.limited, (std::vector<Fields>{{"parvix1", "parvix3"}}));
    vkweb::ListingLimits limits;
    auto l = vkweb::listing_from(reply.fields, 0, &limits);
    ASSERT_TRUE(l);
    const vkweb::SessionTimes idle{{}, 30, "idle", 60, 30, ""};
    EXPECT_EQ(limits.sessions, (std::vector<std::optional<vkweb::SessionTimes>>{idle, idle}));
    EXPECT_EQ(limits.summary, "idle 1m");
    EXPECT_TRUE(limits.members[0].answered);
    EXPECT_FALSE(limits.members[1].answered);
}

// A listing's plan in words: answered now, or waiting for a listing; and
// whether it is answered from the kept one and starts the fresh one.
std::string shape(const Plan &p) {
    std::string s = p.kind == Kind::Now ? "now" : p.kind == Kind::Listing ? "wait" : "work";
    if (p.kept) s = p.kind == Kind::Listing ? "kept" : s + " kept";
    return p.fetch ? s + ", fetch" : s;
}

// Pages that find the kept listing soon due are answered from it at once;
// the first of them starts the one fresh listing, the others neither wait
// nor start another (also once it is due), and the fresh listing is what
// the pages show next. The helper's loop sends a kept listing as bytes
// made once: they are the listing's reply, and go with what they were
// made of.
TEST(WebListingRefresh, DueListingIsShownWhileOneFreshOneIsFetched) {
    Helper h;
    h.service.encoded_listings(true);
    h.backend.clock = 100;
    EXPECT_EQ(shape(h.list()), "wait, fetch");
    // Nothing is kept yet: the next page waits too, for the same listing,
    // and so does one while the caller fetches one of its own.
    EXPECT_EQ(shape(h.list()), "wait");
    EXPECT_EQ(shape(h.list(true)), "wait");
    EXPECT_TRUE(h.backend.listed.empty());
    const Message at100 = h.fetch();
    EXPECT_EQ(h.backend.listed.size(), 1u);

    // Not yet a second old: answered as it is.
    EXPECT_EQ(shape(h.list()), "now");
    // Soon due: the first page to find it so is answered from it and
    // starts a fresh listing; no one else does.
    h.backend.clock = 101;
    Plan due = h.list();
    EXPECT_EQ(shape(due), "kept, fetch");
    ASSERT_NE(due.wire, nullptr);
    EXPECT_EQ(*due.wire, vkweb::encode(at100));
    EXPECT_TRUE(h.service.refreshing());
    for (int clock : {101, 102, 103, 120}) {
        h.backend.clock = clock;
        Plan p = h.list();
        EXPECT_EQ(shape(p), "now") << clock;
        EXPECT_EQ(p.wire, due.wire) << clock;
    }
    h.backend.clock = 110;
    const Message at110 = h.fetch();
    EXPECT_FALSE(h.service.refreshing());
    EXPECT_EQ(h.backend.listed.size(), 2u);
    Plan after = h.list();
    EXPECT_EQ(shape(after), "now");
    ASSERT_NE(after.wire, nullptr);
    EXPECT_EQ(*after.wire, vkweb::encode(at110));
    EXPECT_NE(at110.fields, at100.fields);
    h.service.acted();
    EXPECT_EQ(h.list().wire, nullptr);
}

// A kept listing is never shown once older than the bound (the group's
// deadline and a little more): the page then waits for the fresh one,
// also while one that takes long is still on its way.
TEST(WebListingRefresh, ListingOlderThanTheBoundIsNotShown) {
    Helper h;
    const Message at100 = h.kept_at_100();
    EXPECT_EQ(shape(h.list()), "kept, fetch");
    h.backend.clock = 124;
    Plan last = h.list();
    EXPECT_EQ(shape(last), "now");
    EXPECT_EQ(last.reply.fields, at100.fields);
    // The fresh listing has not come back in time: the one on its way
    // serves the page.
    h.backend.clock = 125;
    Plan late = h.list();
    EXPECT_EQ(shape(late), "wait");
    EXPECT_TRUE(late.reply.fields.empty());
    // Due with none on its way (no page asked while it was soon due): the
    // page waits for a fresh one rather than show one that may be stale;
    // unless the caller fetches one of its own.
    h.fetch();
    h.backend.clock = 128;
    EXPECT_EQ(shape(h.list(true)), "now");
    EXPECT_EQ(shape(h.list()), "wait, fetch");
}

// A listing that failed, or that an action overtook, ends the refresh all
// the same: the next due page starts another rather than none ever again.
// And after an action nothing kept is shown: it may not show what changed;
// nor after a clock that went back.
TEST(WebListingRefresh, FailedOrOvertakenListingStartsOver) {
    Helper h;
    h.kept_at_100();
    ASSERT_TRUE(h.list().fetch);
    h.service.listed({static_cast<char>(vkweb::Status::Refused), {"failed"}}, h.service.actions());
    EXPECT_FALSE(h.service.refreshing());
    EXPECT_EQ(shape(h.list()), "kept, fetch");

    const unsigned since = h.service.actions();
    Message fresh = h.service.fresh_listing();
    h.service.acted();
    h.service.listed(fresh, since);
    EXPECT_EQ(shape(h.list()), "wait, fetch");

    h.fetch();
    h.backend.clock = 99;
    EXPECT_EQ(h.list().kind, Kind::Listing);
}

}  // namespace
