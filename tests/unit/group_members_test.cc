// The members file of the failover group: which lines are host names, which
// make every group-wide command fail, and where this host stands.
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "members.h"
#include "scratch_dir.h"

namespace {

using vkgroup::Member;
using vkgroup::Members;

std::vector<std::string> names(const std::vector<Member> &list) {
    std::vector<std::string> n;
    for (const Member &m : list) n.push_back(m.name + (m.local ? "*" : ""));
    return n;
}

TEST(GroupMembers, FileLinesAndThisHost) {
    vktest::Scratch dir;
    const std::string self = vkgroup::this_host();
    ASSERT_FALSE(self.empty());
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
        // This host in the file's spelling and an option as a name: end to end.
        {"", {self + "*"}, ""},
        {"alpha\nbad_name\nbeta\n", {}, "2: not a host name: bad_name"},
        {"alpha beta\n", {}, "1: not a host name: alpha beta"},
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

}  // namespace
