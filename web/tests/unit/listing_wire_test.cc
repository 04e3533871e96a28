// The group's listing as fields of a reply and back, through the framing,
// and the fields that are no listing.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "listing_wire.h"
#include "protocol.h"

namespace {

vkgroup::Session session(size_t member, const char *raw, const char *token, const char *login,
                         const char *display, const char *server, int state,
                         const std::optional<std::string> &name) {
    vk_UserSession_t r{};
    r.rawtoken = const_cast<char *>(raw);
    r.tokenName = const_cast<char *>(token);
    r.unixID = const_cast<char *>(login);
    r.dispNo = const_cast<char *>(display);
    r.server = const_cast<char *>(server);
    r.state = state;
    return *vkgroup::Session::unpack(member, vkgroup::Session::pack(&r, name));
}

vkgroup::Listing sample() {
    vkgroup::Listing l;
    l.members.push_back({{"parvix1", true}, true, "", {}, 0.012, 2});
    l.members.push_back(
        {{"parvix2", false}, true, "", {"a record names another server (x)", "second"}, 0.5, 1});
    l.members.push_back(
        {{"parvix3", false}, false, "cannot reach: ssh: Connection refused", {}, 5.0, 0});
    l.sessions.push_back(session(0, "raw1", "tok1", "alice", "1", "parvix1", 0, "Alice Liddell"));
    l.sessions.push_back(session(0, "raw2", nullptr, nullptr, "2", "parvix1", 3, std::nullopt));
    l.sessions.push_back(session(1, "r\xc3(;$", "t", "b", "9", "parvix2", 4, std::string()));
    return l;
}

TEST(WebListingWire, RoundTripThroughAReply) {
    vkgroup::Listing l = sample();
    std::vector<std::string> fields = vkweb::listing_fields(l);
    EXPECT_EQ(fields.size(), 2 + 3 * 6 + 3 * 2u);
    // Through the framing, as the helper sends it and the web side reads it.
    vkweb::Message m{static_cast<char>(vkweb::Status::Ok), fields};
    std::string bytes = vkweb::encode(m);
    auto back = vkweb::decode(std::string_view(bytes).substr(4), vkweb::kReplyLimits);
    ASSERT_TRUE(back);
    auto got = vkweb::listing_from(back->fields);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->members.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(got->members[i].member.name, l.members[i].member.name);
        EXPECT_EQ(got->members[i].member.local, l.members[i].member.local);
        EXPECT_EQ(got->members[i].answered, l.members[i].answered);
        EXPECT_EQ(got->members[i].reason, l.members[i].reason);
        EXPECT_EQ(got->members[i].warnings, l.members[i].warnings);
        EXPECT_NEAR(got->members[i].seconds, l.members[i].seconds, 0.001);
        EXPECT_EQ(got->members[i].sessions, l.members[i].sessions);
    }
    ASSERT_EQ(got->sessions.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(got->sessions[i].member, l.sessions[i].member);
        EXPECT_EQ(got->sessions[i].packed(), l.sessions[i].packed());
    }
    EXPECT_EQ(got->sessions[1].text(vkgroup::Field::Login), nullptr);
    EXPECT_EQ(got->sessions[1].state(), 3);
    EXPECT_STREQ(got->sessions[0].name(), "Alice Liddell");
    EXPECT_EQ(vkweb::listing_fields(*got), fields);
    EXPECT_EQ(vkweb::listing_fields(vkgroup::Listing{}), (std::vector<std::string>{"0", "0"}));
}

TEST(WebListingWire, FieldsThatAreNoListing) {
    const std::vector<std::string> good = vkweb::listing_fields(sample());
    auto with = [&good](size_t at, const std::string &value) {
        std::vector<std::string> f = good;
        f[at] = value;
        return f;
    };
    const size_t sessions_at = 1 + 3 * 6;
    std::vector<std::vector<std::string>> bad = {
        {},
        {"0"},
        {"x", "0"},
        {"-1", "0"},
        {"1", "0"},              // a member's fields missing
        with(0, "4"),            // more members than fields
        with(0, "2"),            // fewer: the rest does not add up
        with(sessions_at, "4"),  // more sessions than fields
        with(sessions_at, "2"),
        with(sessions_at, " 3"),
        with(sessions_at + 1, "3"),  // a member that is not there
        with(sessions_at + 1, "x"),
        with(sessions_at + 2, "not a packed session"),
        with(sessions_at + 2, good[sessions_at + 2] + std::string(1, '\0')),
        {"0", "1", "0", good[sessions_at + 2]},  // a session of no member
    };
    std::vector<std::string> longer = good;
    longer.emplace_back("extra");
    bad.push_back(longer);
    for (size_t i = 0; i < bad.size(); ++i) EXPECT_FALSE(vkweb::listing_from(bad[i])) << i;
    EXPECT_FALSE(vkweb::listing_from(good, good.size()));
}

// A member over its share of a reply, by bytes or by fields, or one that
// comes after the whole is spent, is sent as too large and without its
// sessions; the others are sent whole, and the reply is always one that
// the web side reads.
TEST(WebListingWire, TheListingStaysWithinItsBudget) {
    vkgroup::Listing l = sample();
    const std::string mib(1 << 20, 'm');
    l.members.push_back({{"big", false}, true, "", {"warned"}, 1.0, 0});
    for (int i = 0; i < 9; ++i)
        l.sessions.push_back(session(3, "r", mib.c_str(), "l", "1", "big", 0, std::nullopt));
    l.members.push_back({{"many", false}, true, "", {}, 1.0, 0});
    for (int i = 0; i < 70'000; ++i)
        l.sessions.push_back(session(4, "r", "t", "l", "1", "many", 0, std::nullopt));
    std::vector<std::string> fields = vkweb::listing_fields(l);
    EXPECT_TRUE(vkweb::fits(vkweb::Message{'O', fields}, vkweb::kReplyLimits));
    auto got = vkweb::listing_from(fields);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->members.size(), 5u);
    for (size_t i : {3, 4}) {
        EXPECT_FALSE(got->members[i].answered) << i;
        EXPECT_EQ(got->members[i].reason, vkweb::kTooLarge) << i;
        EXPECT_EQ(got->members[i].sessions, 0u) << i;
        EXPECT_TRUE(got->members[i].warnings.empty()) << i;
    }
    EXPECT_EQ(got->sessions.size(), 3u);
    EXPECT_EQ(got->members[2].reason, l.members[2].reason);
    EXPECT_EQ(got->members[1].warnings, l.members[1].warnings);

    // Members within their share each, until the whole is spent.
    vkgroup::Listing ten;
    const std::string kib(100 << 10, 'k');
    for (size_t m = 0; m < 10; ++m) {
        std::string name = "m" + std::to_string(m);
        ten.members.push_back({{name, false}, true, "", {}, 0.1, 0});
        ten.sessions.push_back(session(m, "r", kib.c_str(), "l", "1", name.c_str(), 0, {}));
    }
    const vkweb::ListingBudget small{350 << 10, 1000, 200 << 10, 100};
    fields = vkweb::listing_fields(ten, small);
    size_t bytes = 0;
    for (const std::string &f : fields) bytes += 4 + f.size();
    EXPECT_LE(bytes, small.bytes);
    got = vkweb::listing_from(fields);
    ASSERT_TRUE(got);
    for (size_t m = 0; m < 10; ++m) {
        EXPECT_EQ(got->members[m].answered, m < 3) << m;
        EXPECT_EQ(got->members[m].sessions, m < 3 ? 1u : 0u) << m;
    }
}

}  // namespace
