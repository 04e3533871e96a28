// The group's listing as fields of a reply and back, through the framing,
// and the fields that are no listing.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "listing_fields.h"
#include "listing_wire.h"
#include "packed_session.h"
#include "protocol.h"

namespace {

using webtest::packed_session;

vkgroup::Listing sample() {
    vkgroup::Listing l;
    l.members.push_back({{"parvix1", true}, true, "", {}, 0.012, 2});
    l.members.push_back(
        {{"parvix2", false}, true, "", {"a record names another server (x)", "second"}, 0.5, 1});
    l.members.push_back(
        {{"parvix3", false}, false, "cannot reach: ssh: Connection refused", {}, 5.0, 0});
    l.sessions.push_back(
        packed_session(0, "raw1", "tok1", "alice", "1", "parvix1", 0, "Alice Liddell"));
    l.sessions.push_back(packed_session(0, "raw2", nullptr, nullptr, "2", "parvix1", 3));
    l.sessions.push_back(packed_session(1, "r\xc3(;$", "t", "b", "9", "parvix2", 4, std::string()));
    return l;
}

// The web side reads sessions without the session library: its token and
// state letters must be the ones the library and vkgroup show.
TEST(WebListingWire, TheWebSideShowsASessionAsTheGroupModuleDoes) {
    const char *tokens[] = {nullptr, "plain", "auth.alice", "escape.x", "mobile.7", "authx"};
    const char *security[] = {nullptr, "none", "rc4", "none-but"};
    for (int state = 0; state < 8; ++state)
        for (const char *token : tokens)
            for (const char *up : security)
                for (const char *down : security) {
                    vk_UserSession_t r{};
                    r.rawtoken = const_cast<char *>("raw.1");
                    r.tokenName = const_cast<char *>(token);
                    r.enc_up = r.auth_down = const_cast<char *>(up);
                    r.enc_down = r.auth_up = const_cast<char *>(down);
                    r.state = state;
                    auto seen = vkweb::Session::unpack(0, vkgroup::pack_session(&r, std::nullopt));
                    ASSERT_TRUE(seen);
                    EXPECT_STREQ(seen->display_token(), _vk_getDisplayToken(&r)) << token;
                    EXPECT_EQ(seen->state_letters(), vkgroup::state_letters(&r))
                        << state << " " << (up ? up : "-") << " " << (down ? down : "-");
                }
}

TEST(WebListingWire, FieldsThatAreNoListing) {
    const std::vector<std::string> good = vkweb::listing_fields(sample());
    auto with = [&good](size_t at, const std::string &value) {
        std::vector<std::string> f = good;
        f[at] = value;
        return f;
    };
    const size_t sessions_at = 1 + 3 * 8;
    std::vector<std::vector<std::string>> bad = {
        {},
        {"0"},
        {"-1", "0"},
        with(0, "4"),            // more members than fields
        with(0, "2"),            // fewer: the rest does not add up
        with(sessions_at, "4"),  // more sessions than fields
        with(sessions_at, " 3"),
        with(sessions_at + 1, "3"),  // a member that is not there
        with(sessions_at + 2, "not a packed session"),
        with(sessions_at + 2, good[sessions_at + 2] + std::string(1, '\0')),
        {"0", "1", "0", good[sessions_at + 2], "", ""},  // a session of no member
    };
    std::vector<std::string> longer = good;
    longer.emplace_back("extra");
    bad.push_back(longer);
    for (size_t i = 0; i < bad.size(); ++i) EXPECT_FALSE(vkweb::listing_from(bad[i])) << i;
    EXPECT_FALSE(vkweb::listing_from(good, good.size()));
}

// `n` members m0, m1, ... with one session each, its token `token_bytes` long.
vkgroup::Listing members(size_t n, size_t token_bytes) {
    vkgroup::Listing l;
    const std::string token(token_bytes, 't');
    for (size_t m = 0; m < n; ++m) {
        std::string name = "m" + std::to_string(m);
        l.members.push_back({{name, false}, true, "", {}, 0.1, 0});
        l.sessions.push_back(packed_session(m, "r", token.c_str(), "l", "1", name.c_str()));
    }
    return l;
}

size_t bytes_of(const std::vector<std::string> &fields) {
    size_t bytes = 0;
    for (const std::string &f : fields) bytes += 4 + f.size();
    return bytes;
}

// A member over its share of a reply's bytes or fields, or one that comes
// after the whole is spent, is sent as
// too large and without its sessions or its times; the others are sent
// whole, and the reply is always one that the web side reads.
TEST(WebListingWire, TheListingStaysWithinItsBudget) {
    vkgroup::Listing l = sample();
    const std::string mib(1 << 20, 'm');
    l.members.push_back({{"big", false}, true, "", {"warned"}, 1.0, 0});
    for (int i = 0; i < 9; ++i)
        l.sessions.push_back(packed_session(3, "r", mib.c_str(), "l", "1", "big"));
    std::vector<std::string> fields = vkweb::listing_fields(l);
    EXPECT_TRUE(vkweb::fits(vkweb::Message{'O', fields}, vkweb::kReplyLimits));
    auto got = vkweb::listing_from(fields);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->members.size(), 4u);
    EXPECT_FALSE(got->members[3].answered);
    EXPECT_EQ(got->members[3].reason, vkweb::kTooLarge);
    EXPECT_EQ(got->members[3].sessions, 0u);
    EXPECT_TRUE(got->members[3].warnings.empty());
    EXPECT_EQ(got->sessions.size(), 3u);
    EXPECT_EQ(got->members[2].reason, l.members[2].reason);
    EXPECT_EQ(got->members[1].warnings, l.members[1].warnings);

    // Members within their share each, until the whole is spent.
    const vkweb::ListingBudget small{350 << 10, 1000, 200 << 10, 100};
    fields = vkweb::listing_fields(members(10, 100 << 10), small);
    EXPECT_LE(bytes_of(fields), small.bytes);
    got = vkweb::listing_from(fields);
    ASSERT_TRUE(got);
    for (size_t m = 0; m < 10; ++m) {
        EXPECT_EQ(got->members[m].answered, m < 3) << m;
        EXPECT_EQ(got->members[m].sessions, m < 3 ? 1u : 0u) << m;
    }
    // However small its sessions, one with more than its share of fields.
    vkgroup::Listing many = members(2, 1);
    many.sessions.insert(many.sessions.begin(), 40, packed_session(0, "r", "t", "l", "1"));
    got = vkweb::listing_from(vkweb::listing_fields(many, small));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->members[0].reason, vkweb::kTooLarge);
    EXPECT_EQ(got->members[1].sessions, 1u);

    // A member's times count against its share: one whose notes are too
    // much is sent too large, without them, and the others keep theirs.
    vkgroup::Listing two = members(2, 1);
    std::vector<vkgroup::MemberLimits> all(2);
    for (size_t m = 0; m < 2; ++m) {
        all[m].answer = two.members[m];
        all[m].entries = {
            {.display = "1", .raw_token = "r", .note = std::string(m == 0 ? 150 << 10 : 100, 'n')}};
    }
    const vkweb::ListingBudget share{350 << 10, 1000, 100 << 10, 100};
    fields = vkweb::listing_fields(two, vkweb::join_limits(two, all, 0), share);
    EXPECT_LE(bytes_of(fields), share.bytes);
    vkweb::ListingLimits times;
    got = vkweb::listing_from(fields, 0, &times);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->members[0].reason, vkweb::kTooLarge);
    EXPECT_FALSE(times.members[0].answered);
    ASSERT_EQ(got->sessions.size(), 1u);
    EXPECT_EQ(got->sessions[0].member, 1u);
    ASSERT_TRUE(times.sessions[0]);
    EXPECT_EQ(times.sessions[0]->note, std::string(100, 'n'));
}

// The members' dry runs of the limits at 1000 s: parvix1 measured both
// its sessions; parvix2 would not act, and also names a session that is
// parvix1's, which must not reach it; parvix3 did not answer.
std::vector<vkgroup::MemberLimits> dry_runs() {
    auto entry = [](const char *display, const char *raw, std::optional<int64_t> disconnected,
                    const char *limit, std::optional<int64_t> limit_s,
                    std::optional<int64_t> ends_at, const char *note) {
        vkgroup::LimitEntry e;
        e.display = display;
        e.raw_token = raw;
        e.disconnected_s = disconnected;
        e.limit = limit;
        e.limit_s = limit_s;
        e.ends_at = ends_at;
        e.note = note;
        return e;
    };
    std::vector<vkgroup::MemberLimits> all(3);
    all[0].answer = {{"parvix1", true}, true, "", {}, 0.1, 2};
    all[0].entries = {entry("1", "raw1", 125, "disconnected", 600, 1475, ""),
                      entry("2", "raw2", {}, "", {}, {}, "exempt-user\twith\ttabs\nand a line")};
    all[0].entries[1].idle_s = 7;
    all[1].answer = {{"parvix2", false}, true, "", {}, 0.2, 2};
    all[1].refused = "the authentication manager cannot be asked";
    all[1].entries = {entry("1", "raw1", 99999, "disconnected", 60, 0, ""),
                      entry("9", "r\xc3(;$", {}, "lifetime", 3600, 900, "manager unreachable")};
    all[2].answer = {{"parvix3", false}, false, "no answer within 20 seconds", {}, 20, 0};
    return all;
}

TEST(WebListingWire, TheLimitsGoToTheirMembersSessionsAndComeBackWhole) {
    vkgroup::Listing l = sample();
    vkweb::ListingLimits joined = vkweb::join_limits(l, dry_runs(), 1000);
    joined.summary = "disconnected 10m; terminate";
    ASSERT_EQ(joined.sessions.size(), 3u);
    ASSERT_TRUE(joined.sessions[0] && joined.sessions[1] && joined.sessions[2]);
    EXPECT_EQ(joined.sessions[0]->disconnected_s, 125);  // parvix1's, not parvix2's word
    EXPECT_EQ(joined.sessions[0]->ends_in, 475);
    EXPECT_FALSE(joined.sessions[1]->ends_in);
    EXPECT_EQ(joined.sessions[2]->ends_in, 0);  // past its end: over its limit now
    EXPECT_EQ(joined.members[1].text, "the authentication manager cannot be asked");
    EXPECT_FALSE(joined.members[2].answered);

    std::vector<std::string> fields = vkweb::listing_fields(l, joined);
    vkweb::Message m{static_cast<char>(vkweb::Status::Ok), fields};
    std::string bytes = vkweb::encode(m);
    auto back = vkweb::decode(std::string_view(bytes).substr(4), vkweb::kReplyLimits);
    ASSERT_TRUE(back);
    vkweb::ListingLimits got;
    ASSERT_TRUE(vkweb::listing_from(back->fields, 0, &got));
    // What comes back makes the same fields again: nothing lost on the way.
    EXPECT_EQ(got.summary, joined.summary);
    EXPECT_EQ(vkweb::listing_fields(l, got), fields);
    EXPECT_EQ(vkweb::listing_fields(vkgroup::Listing{}), (std::vector<std::string>{"0", "0", ""}));

    // Times that are no times make no listing.
    const size_t times_at = 1 + 3 * 8 + 1 + 2;
    for (const char *bad :
         {"x", "1\t2\t-\t-\t-", "-1\t-\t-\t-\t-\t", "1\t-\tforever\t-\t-\t", "1\t-\t-\t-\t 3\t"}) {
        std::vector<std::string> f = fields;
        f[times_at] = bad;
        EXPECT_FALSE(vkweb::listing_from(f)) << bad;
    }
}

}  // namespace
