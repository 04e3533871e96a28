// The group's settings and state: the members file (which lines are host
// names, which make every group-wide command fail, and where this host
// stands), what the limits file accepts, which sessions an exemption keeps,
// how the observed times survive runs, restarts and damage without ever
// running ahead, and what a far member's limits records and notices may be.
#include <cctype>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "session_limits.h"
#include "enforce.h"
#include "limits_report.h"
#include "members.h"
#include "notify.h"
#include "observed.h"
#include "scratch_dir.h"

namespace {

using vkgroup::Limits;
using vkgroup::Member;
using vkgroup::Members;
using vkgroup::Observed;
using vkgroup::Sighting;

std::vector<std::string> names(const std::vector<Member> &list) {
    std::vector<std::string> n;
    for (const Member &m : list) n.push_back(m.name + (m.local ? "*" : ""));
    return n;
}

TEST(GroupMembers, FileLinesAndThisHost) {
    vktest::Scratch dir;
    const std::string self = vkgroup::this_host();
    ASSERT_FALSE(self.empty());
    std::string loud = self;
    for (char &c : loud) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Case {
        std::string text;
        std::vector<std::string> members;  // this host marked with "*"
        std::string error;                 // after "PATH:"
    };
    const std::vector<Case> cases = {
        // Comments, blank lines, blanks around names, a name twice in other
        // letter case; this host added.
        {"# the group\n\n  zeta \t\n\t# also a comment\nalpha\nZETA\r\n",
         {"alpha", self + "*", "zeta"},
         ""},
        // This host in another letter case: itself, in the file's spelling.
        {"\t" + loud + "  \n", {loud + "*"}, ""},
        {"alpha\nbad_name\nbeta\n", {}, "2: not a host name: bad_name"},
        {"\x1b[2Jx\n", {}, "1: not a host name: ?[2Jx"},
        {"# fine\nalpha # trailing comment\n", {}, "2: not a host name: alpha # trailing comment"},
    };
    for (const Case &c : cases) {
        std::string path = dir.file("members", c.text);
        Members m;
        std::string error;
        bool ok = vkgroup::read_members(path, m, error);
        EXPECT_EQ(ok, c.error.empty()) << c.text;
        if (ok)
            EXPECT_EQ(names(m.list), c.members) << c.text;
        else
            EXPECT_EQ(error, path + ":" + c.error) << c.text;
        EXPECT_FALSE(m.file_missing);
    }

    Members m;
    std::string error;
    ASSERT_TRUE(vkgroup::read_members(dir.path("absent"), m, error));
    EXPECT_TRUE(m.file_missing);
    EXPECT_EQ(names(m.list), std::vector<std::string>{self + "*"});

    // The file says which hosts root's group key is offered to: one that
    // others may change is not used.
    if (::geteuid() == 0) {
        std::string path = dir.file("members", "alpha\n");
        ::chmod(path.c_str(), 0666);
        EXPECT_FALSE(vkgroup::read_members(path, m, error));
        EXPECT_EQ(error, path + ": not a regular file that only root may write");
    }
}

TEST(GroupMembers, ServersNamedOnTheCommandLine) {
    vktest::Scratch dir;
    Members all;
    std::string error;
    ASSERT_TRUE(vkgroup::read_members(dir.file("members", "alpha\nBeta\n"), all, error));
    std::vector<Member> picked;
    ASSERT_TRUE(vkgroup::pick_members(all, {"BETA", "gamma", "beta", "alpha"}, picked, error));
    EXPECT_EQ(names(picked), (std::vector<std::string>{"alpha", "Beta", "gamma"}));
    ASSERT_TRUE(vkgroup::pick_members(all, {}, picked, error));
    EXPECT_EQ(picked.size(), all.list.size());
    EXPECT_FALSE(vkgroup::pick_members(all, {"alpha", "-F/tmp/x"}, picked, error));
    EXPECT_EQ(error, "not a host name: -F/tmp/x");
}

TEST(GroupLimits, WildcardsAndExemptions) {
    // "*" is the only wildcard.
    const std::tuple<const char *, const char *, bool> wild[] = {
        {"*", "", true},           {"adm*", "admin", true}, {"a*b*c", "aXbYbZc", true},
        {"adm*", "badmin", false}, {"a?c", "abc", false},   {"a*b*c", "aXbYbZ", false}};
    for (const auto &[pattern, text, match] : wild)
        EXPECT_EQ(vkgroup::wildcard_match(pattern, text), match) << pattern << " " << text;
    // Many stars against a long text that almost matches stay quick.
    EXPECT_FALSE(vkgroup::wildcard_match(std::string(100, '*') + "b", std::string(100000, 'a')));

    const Limits l{
        .exempt_user = {"root", "ops-*"}, .exempt_token = {"pseudo.*"}, .exempt_display = {"1?"}};
    EXPECT_EQ(vkgroup::exemption(l, "ops-7", "Payflex.1", "Payflex.1", "3"), "exempt-user");
    EXPECT_EQ(vkgroup::exemption(l, "ann", "kiosk-3", "pseudo.0800200c", "3"), "exempt-token");
    EXPECT_EQ(vkgroup::exemption(l, "ann", "Payflex.1", "Payflex.1", "1?"), "exempt-display");
    EXPECT_FALSE(vkgroup::exemption(l, "ann", "Payflex.1", "Payflex.1", "12"));
    EXPECT_FALSE(vkgroup::exemption(l, "rootkit", "Payflex.1", "Payflex.1", "3"));
}

TEST(GroupLimits, TheFileAndItsErrors) {
    vktest::Scratch dir;
    Limits l;
    std::string error;
    EXPECT_TRUE(vkgroup::read_limits(dir.path("absent"), l, error));
    EXPECT_FALSE(l.any());

    const std::string good = dir.file(
        "limits.conf",
        "# ends stale sessions\n  disconnected = 8h  \n\nidle=45m\nlifetime = 7d\nwarn = 15m\n"
        "warn-text = Ends at %T, in %R (100%%).\naction = suspend\nexempt-user = root\n"
        "exempt-user = ops-*\nexempt-token = pseudo.*\nmax-per-run = 5\n");
    ASSERT_TRUE(vkgroup::read_limits(good, l, error)) << error;
    using Values = std::vector<std::optional<int64_t>>;
    EXPECT_EQ((Values{l.disconnected, l.idle, l.lifetime, l.warn, l.max_per_run}),
              (Values{8 * 3600, 45 * 60, 7 * 86400, 15 * 60, 5}));
    EXPECT_EQ(l.action, vkgroup::LimitAction::Suspend);
    EXPECT_EQ(l.exempt_user, (std::vector<std::string>{"root", "ops-*"}));
    const std::string notice = vkgroup::warn_notice(l, 0, 600);
    EXPECT_NE(notice.find("in 10m (100%)."), std::string::npos) << notice;
    EXPECT_EQ(notice.find("%T"), std::string::npos);

    const std::vector<std::pair<std::string, std::string>> bad = {
        {"idle = 45\n", ":1: not a duration"},
        {"\nidle = 0s\n", ":2: not a duration"},
        {"disconnect = 8h\n", ":1: unknown key: disconnect"},
        {"action = kill\n", ":1: action is terminate or suspend"},
        {"max-per-run = 0\n", ":1: max-per-run is a number"},
        {"max-per-run = 20x\n", ":1: max-per-run is a number"},
        {"idle\n", ":1: not \"key = value\""},
        {"exempt-user =\n", ":1: no value"},
        {"warn-text = a\x1b[2Jb\n", ":1: warn-text is one line"},
        {"exempt-token = " + std::string(256, 't') + "\n", ":1: a pattern is at most"},
    };
    for (const auto &[text, why] : bad) {
        const std::string path = dir.file("bad.conf", text);
        EXPECT_FALSE(vkgroup::read_limits(path, l, error)) << text;
        EXPECT_EQ(error.rfind(path + why, 0), 0u) << error;
    }
    // Only root may be able to change what ends sessions.
    ::chmod(good.c_str(), 0664);
    EXPECT_FALSE(vkgroup::read_limits(good, l, error));
    EXPECT_EQ(error, good + ": not a regular file that only root may write");
}

TEST(GroupObserved, TimesStartAtTheFirstSightingAndNeverEarlier) {
    const std::string a = "d3 tokA ann t100", b = "d4 tokB bob t120", c = "d4 tokC cy t2000";
    Observed o;
    o.observe({{a, true, false}, {b, false, true}}, 1000, true, true);
    o.observe({{a, true, true}, {b, false, true}}, 1060, true, true);
    EXPECT_EQ(o.find(a)->disconnected_since, 1000);
    EXPECT_EQ(o.find(a)->idle_since, 1060);
    EXPECT_EQ(o.find(b)->idle_since, 1000);
    EXPECT_FALSE(o.find(b)->disconnected_since);

    // Reconnected, then disconnected again: it starts afresh. A new
    // session on the same display is another key and starts from nothing.
    o.observe({{a, false, false}, {c, true, false}}, 2100, true, true);
    o.observe({{a, true, false}, {c, true, false}}, 2160, true, true);
    EXPECT_EQ(o.find(a)->disconnected_since, 2160);
    EXPECT_EQ(o.find(c)->disconnected_since, 2100);
    EXPECT_EQ(o.find(b), nullptr);

    // The authentication manager could not be asked: every session looks
    // disconnected, and none of that time may count, before or after.
    o.observe({{a, true, false}, {c, true, false}}, 2220, false, true);
    EXPECT_FALSE(o.find(a)->disconnected_since);
    o.observe({{a, true, false}}, 2280, true, true);
    EXPECT_EQ(o.find(a)->disconnected_since, 2280);

    // A clock set back does not make a session older than its evidence.
    o.observe({{a, true, false}}, 2000, true, true);
    EXPECT_EQ(o.find(a)->disconnected_since, 2000);
}

TEST(GroupObserved, TheFileRoundTripsAndDamageLosesTimeNeverGainsIt) {
    vktest::Scratch dir;
    const std::string path = dir.path("observed");
    Observed o;
    const std::string odd = std::string("d5 tok\n%\x01 \xc3\xa9") + std::string(300, 'x');
    o.observe({{"d3 tokA ann t100", true, false}, {odd, false, true}}, 1000, true, true);
    o.set_warned(odd, 1010);
    std::string error;
    ASSERT_TRUE(o.save(path, error)) << error;
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Observed back;
    ASSERT_TRUE(back.load(path, error)) << error;
    EXPECT_EQ(back.serialize(), o.serialize());
    EXPECT_EQ(back.find(odd)->warned_at, 1010);

    // A run that changes nothing leaves the file alone (a new file replaces
    // it on every write); a notice, an end or a new sighting is written.
    auto inode = [&] { return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0; };
    auto saved = [&](auto change) {
        Observed run;
        const ino_t before = inode();
        EXPECT_TRUE(run.load(path, error) && run.save(path, error)) << error;
        EXPECT_EQ(inode(), before);
        change(run);
        EXPECT_TRUE(run.save(path, error)) << error;
        EXPECT_TRUE(run.load(path, error)) << error;
        return inode() != before;
    };
    EXPECT_TRUE(saved([&](Observed &r) { r.set_warned(odd, 1020); }));
    EXPECT_FALSE(saved([&](Observed &r) { r.set_warned(odd, 1020); }));
    EXPECT_TRUE(saved([](Observed &r) { r.count_ended(1); }));
    EXPECT_TRUE(saved([&](Observed &r) {
        r.observe({{"d3 tokA ann t100", true, false}, {odd, false, true}}, 1030, true, true);
        r.observe({{"d3 tokA ann t100", true, false}}, 1040, true, true);
    }));
    Observed last;
    ASSERT_TRUE(last.load(path, error)) << error;
    EXPECT_EQ(last.find(odd), nullptr);
    EXPECT_EQ(last.ended()[1], 1u);

    // Every cut of the file, and a line changed, is refused whole.
    const std::string text = o.serialize();
    for (size_t cut = 0; cut < text.size(); ++cut) {
        Observed damaged;
        EXPECT_FALSE(damaged.parse(text.substr(0, cut))) << cut;
        EXPECT_EQ(damaged.size(), 0u);
    }
    std::string changed = text;
    changed[changed.find("1000")] = 'x';
    for (const std::string &bad : {changed, text + "1 - - d9\n"}) EXPECT_FALSE(back.parse(bad));

    dir.file("observed", text.substr(0, text.size() / 2));
    EXPECT_FALSE(back.load(path, error));
    EXPECT_EQ(back.size(), 0u);
    EXPECT_NE(error.find("damaged"), std::string::npos);
}

TEST(GroupObserved, TenThousandSessionsStayUnderTwoMebibytes) {
    Observed o;
    std::vector<Sighting> seen;
    for (int i = 0; i < 10000; ++i)
        seen.push_back({std::to_string(i + 10) + " " + std::string(64, 't') + std::to_string(i) +
                            " user" + std::to_string(i) + " 1700000000",
                        i % 2 == 0, i % 3 == 0});
    o.observe(seen, 1700000100, true, true);
    EXPECT_LT(o.serialize().size(), size_t{2} << 20);

    // However many a host holds, the table keeps its bound: the sessions
    // remembered stay, and of the new ones only as many as fit.
    const size_t bound = Observed::kMaxSessions;
    for (size_t i = 0; seen.size() <= bound; ++i) seen.push_back({"new" + std::to_string(i)});
    o.observe(seen, 1700000200, true, true);
    EXPECT_EQ(o.size(), bound);
    EXPECT_EQ(o.find(seen[0].key)->disconnected_since, 1700000100);
    EXPECT_EQ(o.find(seen[bound].key), nullptr);
    seen.erase(seen.begin(), seen.begin() + 10000);  // gone: room for the one left out
    o.observe(seen, 1700000300, true, true);
    EXPECT_EQ(o.size(), seen.size());
    EXPECT_EQ(o.find("10 " + std::string(64, 't') + "0 user0 1700000000"), nullptr);
    EXPECT_NE(o.find(seen.back().key), nullptr);
}

using vkgroup::LimitEntry;

TEST(GroupLimitsRun, TheEarliestLimitDecidesAndALifetimeEndWaitsForItsNotice) {
    Limits l{.disconnected = 3600, .idle = 600, .lifetime = 86400, .warn = 300};
    const int64_t now = 1'000'000;
    LimitEntry e{.state = VK_SESSION_DISCONNECTED | VK_SESSION_IDLE,
                 .started = now - 4000,
                 .disconnected_s = 3000,
                 .idle_s = 100};
    vkgroup::decide(l, e, nullptr, now);
    EXPECT_EQ(e.limit, "idle");
    EXPECT_EQ(e.ends_at, now + 500);
    EXPECT_FALSE(e.due);

    // Disconnected at its lifetime: ended without a notice.
    e.started = now - 86400;
    vkgroup::decide(l, e, nullptr, now);
    EXPECT_EQ(e.limit, "lifetime");
    EXPECT_TRUE(e.due);
    EXPECT_FALSE(e.warn_now);

    // Connected, past its lifetime, never told: told now, ended `warn` later.
    e = LimitEntry{.started = now - 90000};
    vkgroup::decide(l, e, nullptr, now);
    EXPECT_TRUE(e.warn_now);
    EXPECT_FALSE(e.due);
    EXPECT_EQ(e.ends_at, now + 300);
    vkgroup::Timing told;
    told.warned_at = now - 299;
    vkgroup::decide(l, e, &told, now);
    EXPECT_FALSE(e.due || e.warn_now);
    told.warned_at = now - 300;
    vkgroup::decide(l, e, &told, now);
    EXPECT_TRUE(e.due);

    // Suspending is the action and the session is suspended: nothing to do.
    l.action = vkgroup::LimitAction::Suspend;
    e = LimitEntry{.state = VK_SESSION_DISCONNECTED | VK_SESSION_SUSPENDED, .disconnected_s = 7200};
    vkgroup::decide(l, e, nullptr, now);
    EXPECT_FALSE(e.due);
    EXPECT_EQ(e.note, "already suspended");
}

TEST(GroupLimitsRun, AFarMembersRecordsAreReadStrictly) {
    const LimitEntry e{.display = "12",
                       .token = "tok\tA\n;x",
                       .raw_token = std::string(255, 'r'),
                       .state = 3,
                       .started = 1700000000,
                       .idle_s = 42,
                       .limit = "idle",
                       .limit_s = 600,
                       .ends_at = 1700000558,
                       .note = "over max-per-run"};
    const std::string line = vkgroup::limit_record(e);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    LimitEntry back;
    std::string why;
    uint64_t counts[3] = {0, 0, 0};
    ASSERT_EQ(vkgroup::parse_limit_line("C\t1\t0\t12", back, why, counts),
              vkgroup::LimitLine::Counts);
    EXPECT_EQ(counts[2], 12u);
    ASSERT_EQ(vkgroup::parse_limit_line(line, back, why, counts), vkgroup::LimitLine::Session);
    EXPECT_EQ(vkgroup::limit_record(back), line);
    EXPECT_EQ(back.token, e.token);
    ASSERT_EQ(vkgroup::parse_limit_line(vkgroup::refused_record("manager down"), back, why, counts),
              vkgroup::LimitLine::Refused);
    EXPECT_EQ(why, "manager down");

    // The record line with its field n replaced by `value`.
    auto field = [&line](size_t n, const std::string &value) {
        size_t at = 0;
        for (size_t i = 0; i < n; ++i) at = line.find('\t', at) + 1;
        return line.substr(0, at) + value + line.substr(std::min(line.find('\t', at), line.size()));
    };
    // Field 3 over the library's token bound, field 11 over a note's.
    const std::pair<size_t, std::string> fields[] = {{0, "s"},
                                                     {3, std::string(256, 'r')},
                                                     {5, "8"},
                                                     {5, "-"},
                                                     {7, "-5"},
                                                     {7, "1e3"},
                                                     {9, "forever:60"},
                                                     {9, "idle"},
                                                     {9, "idle:0"},
                                                     {10, "soon"},
                                                     {1, "a b"},
                                                     {1, "%zz"},
                                                     {11, std::string(301, 'n')}};
    std::vector<std::string> bad = {"", "S", "R", "R\t", "X\t1", line + "\tmore"};
    for (const auto &[n, value] : fields) bad.push_back(field(n, value));
    for (const std::string &b : bad)
        EXPECT_FALSE(vkgroup::parse_limit_line(b, back, why, counts)) << b;
}

TEST(GroupNotice, TextIsCleanedCutAtItsBoundAndTravelsWhole) {
    EXPECT_EQ(vkgroup::notice_text("Restart at 6.\r\n\x1b[2J\tBye\x7f"), "Restart at 6.\n[2JBye");
    // C1 and bidirectional controls go; other characters stay; broken UTF-8 shows as "?".
    EXPECT_EQ(vkgroup::notice_text("x\xc2\x85y\xe2\x80\xaez\xc3\xa9\xff"), "xyz\xc3\xa9?");
    const std::string at_bound(vkgroup::kMaxNotice, 'x');
    EXPECT_EQ(vkgroup::notice_text(at_bound + "y"), at_bound);
    // A character that would cross the bound is left out whole.
    const std::string text = std::string(vkgroup::kMaxNotice - 1, 'x') + "\xc3\xa9";
    EXPECT_EQ(vkgroup::notice_text(text), std::string(vkgroup::kMaxNotice - 1, 'x'));

    for (const std::string &t : {std::string(), std::string("a"), std::string("ab"),
                                 std::string("abc"), std::string("\0\xff\n", 3), at_bound}) {
        const std::string word = vkgroup::base64_encode(t);
        EXPECT_EQ(vkgroup::base64_decode(word), t);
    }
    EXPECT_EQ(vkgroup::base64_encode("hi"), "aGk=");
    EXPECT_EQ(vkgroup::base64_encode(at_bound).size(), (vkgroup::kMaxNotice + 2) / 3 * 4);
    for (const char *bad : {"aGk", "a=Gk", "aG===", "aGk=aGk=", "aG k", "aGk\0"})
        EXPECT_FALSE(vkgroup::base64_decode(bad)) << bad;
}

}  // namespace
