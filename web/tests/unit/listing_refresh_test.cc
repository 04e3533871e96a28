// The helper's listing while a fresh one is fetched: pages are answered at
// once from the listing kept, as long as it is young enough to show, and
// only one fresh listing is fetched at a time, however many pages ask.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "listing_wire.h"
#include "service.h"

namespace {

using namespace std::chrono_literals;
using vkweb::Message;
using vkweb::Op;
using vkweb::Plan;
using Kind = vkweb::Plan::Kind;

// A group of one member with no session, on a clock the test sets;
// counts the listings asked of the group.
class Group : public vkweb::Backend {
  public:
    int clock = 0;  // seconds
    int listings = 0;

    vkweb::Time now() override { return vkweb::Time{} + std::chrono::seconds(clock); }
    std::string random_hex(size_t bytes) override {
        return std::string(2 * bytes - 1, 'a') + std::to_string(++randoms_ % 10);
    }
    bool authenticate(const std::string &user, const std::string &, const std::string &,
                      std::string &login, std::string &) override {
        login = user;
        return true;
    }
    bool administrator(const std::string &) override { return true; }
    bool members(std::vector<vkgroup::Member> &out, std::string &) override {
        out.push_back({"parvix1", true});
        return true;
    }
    vkgroup::Listing list(const std::vector<vkgroup::Member> &members, bool) override {
        ++listings;
        vkgroup::Listing l;
        // The time of the listing, so that one listing tells from another.
        for (const vkgroup::Member &m : members)
            l.members.push_back({m, true, "", {}, static_cast<double>(clock), 0});
        return l;
    }
    GroupLimits limits(const std::vector<vkgroup::Member> &) override { return {}; }
    std::vector<vkgroup::Outcome> act(vkweb::Action, const vkgroup::Listing &,
                                      const std::vector<size_t> &which) override {
        return std::vector<vkgroup::Outcome>(which.size(), {true, ""});
    }
    void log_security(const std::string &) override {}
    void log_action(const std::string &) override {}

  private:
    int randoms_ = 0;
};

struct Helper {
    Group group;
    vkweb::Service service{group, vkweb::LoginSessions::kIdle, vkweb::LoginSessions::kLifetime,
                           25s};
    std::string sid;

    Helper() {
        Message r = service.handle({static_cast<char>(Op::Auth), {"alice", "pw", "10.0.0.9"}});
        sid = r.fields.at(0);
    }
    Plan list() { return service.begin({static_cast<char>(Op::List), {sid, "10.0.0.9"}}); }
    // What the helper's loop does with a fetch: the listing, run apart.
    Message fetch() {
        unsigned since = service.actions();
        Message fresh = service.fresh_listing();
        service.listed(fresh, since);
        return fresh;
    }
};

// Pages that find the kept listing soon due are answered from it at once;
// the first of them starts the one fresh listing, the others neither wait
// nor start another (also once it is due), and the fresh listing is what
// the pages show next.
TEST(WebListingRefresh, DueListingIsShownWhileOneFreshOneIsFetched) {
    Helper h;
    h.group.clock = 100;
    Plan first = h.list();
    ASSERT_EQ(first.kind, Kind::Listing);
    EXPECT_TRUE(first.fetch);
    EXPECT_FALSE(first.kept);
    // Nothing is kept yet: the next page waits too, for the same listing.
    Plan second = h.list();
    EXPECT_FALSE(second.fetch);
    EXPECT_FALSE(second.kept);
    const Message at100 = h.fetch();
    EXPECT_EQ(h.group.listings, 1);

    // Not yet a second old: answered as it is.
    EXPECT_EQ(h.list().kind, Kind::Now);
    // Soon due: the first page to find it so is answered from it and
    // starts a fresh listing; no one else does.
    h.group.clock = 101;
    Plan due = h.list();
    EXPECT_EQ(due.kind, Kind::Listing);
    EXPECT_TRUE(due.kept);
    EXPECT_TRUE(due.fetch);
    EXPECT_EQ(due.reply.fields, at100.fields);
    EXPECT_TRUE(h.service.refreshing());
    for (int clock : {101, 102, 103, 120}) {
        h.group.clock = clock;
        Plan p = h.list();
        EXPECT_EQ(p.kind, Kind::Now) << clock;
        EXPECT_EQ(p.reply.fields, at100.fields) << clock;
    }
    h.group.clock = 110;
    const Message at110 = h.fetch();
    EXPECT_FALSE(h.service.refreshing());
    EXPECT_EQ(h.group.listings, 2);
    Plan after = h.list();
    EXPECT_EQ(after.kind, Kind::Now);
    EXPECT_EQ(after.reply.fields, at110.fields);
    EXPECT_NE(at110.fields, at100.fields);
}

// A kept listing is never shown once older than the bound (the group's
// deadline and a little more): the page then waits for the fresh one,
// also while one that takes long is still on its way.
TEST(WebListingRefresh, ListingOlderThanTheBoundIsNotShown) {
    Helper h;
    h.group.clock = 100;
    h.list();
    h.fetch();
    h.group.clock = 101;
    Plan kept = h.list();
    EXPECT_TRUE(kept.kept);
    EXPECT_TRUE(kept.fetch);
    h.group.clock = 124;
    EXPECT_EQ(h.list().kind, Kind::Now);
    // The fresh listing has not come back in time.
    h.group.clock = 125;
    Plan late = h.list();
    EXPECT_EQ(late.kind, Kind::Listing);
    EXPECT_FALSE(late.kept);
    EXPECT_FALSE(late.fetch);  // the one on its way serves it
    EXPECT_TRUE(late.reply.fields.empty());
    // Due with none on its way (no page asked while it was soon due): the
    // page waits for a fresh one rather than show one that may be stale.
    h.fetch();
    h.group.clock = 128;
    Plan quiet = h.list();
    EXPECT_EQ(quiet.kind, Kind::Listing);
    EXPECT_FALSE(quiet.kept);
    EXPECT_TRUE(quiet.fetch);
}

// A listing that failed, or that an action overtook, ends the refresh all
// the same: the next due page starts another rather than none ever again.
// And after an action nothing kept is shown: it may not show what changed.
TEST(WebListingRefresh, FailedOrOvertakenListingStartsOver) {
    Helper h;
    h.group.clock = 100;
    h.list();
    h.fetch();
    h.group.clock = 101;
    ASSERT_TRUE(h.list().fetch);
    h.service.listed({static_cast<char>(vkweb::Status::Refused), {"failed"}}, h.service.actions());
    EXPECT_FALSE(h.service.refreshing());
    Plan again = h.list();
    EXPECT_TRUE(again.kept);
    EXPECT_TRUE(again.fetch);

    const unsigned since = h.service.actions();
    Message fresh = h.service.fresh_listing();
    h.service.acted();
    h.service.listed(fresh, since);
    Plan after = h.list();
    EXPECT_FALSE(after.kept);
    EXPECT_TRUE(after.fetch);
}

// The helper's loop sends a kept listing as bytes made once: they are the
// listing's reply, and they go with what they were made of.
TEST(WebListingRefresh, KeptListingIsSentAsItsReply) {
    Helper h;
    h.service.encoded_listings(true);
    h.group.clock = 100;
    h.list();
    const Message at100 = h.fetch();
    Plan kept = h.list();
    ASSERT_NE(kept.wire, nullptr);
    EXPECT_EQ(*kept.wire, vkweb::encode(at100));
    h.group.clock = 110;
    h.fetch();
    Plan next = h.list();
    ASSERT_NE(next.wire, nullptr);
    EXPECT_NE(*next.wire, *kept.wire);
    h.service.acted();
    EXPECT_EQ(h.list().wire, nullptr);
}

}  // namespace
