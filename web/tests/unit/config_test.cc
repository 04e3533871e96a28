// vkweb.conf: what it sets, and the files that are refused before any of
// it counts (it names the key and who may log in).
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "config.h"

namespace {

TEST(WebConfig, RootsOwnFileSetsItsKeysAndAnythingElseIsRefused) {
    std::string dir = ::testing::TempDir() + "vkconfXXXXXX";
    ASSERT_TRUE(::mkdtemp(dir.data()));
    const std::string path = dir + "/vkweb.conf";
    std::ofstream(path) << "# vkweb.conf\n\n  address = 192.0.2.11 \nport=9443\r\nparallel = 4\n";
    ::chmod(path.c_str(), 0644);
    vkweb::Config c;
    std::string error;
    ASSERT_TRUE(vkweb::read_config(path, c, error)) << error;
    EXPECT_EQ(c.address, "192.0.2.11");
    EXPECT_EQ(c.port, 9443);
    EXPECT_EQ(c.parallel, 4);
    EXPECT_EQ(c.deadline, vkweb::Config{}.deadline);

    EXPECT_TRUE(vkweb::read_config(dir + "/absent", c, error));
    EXPECT_EQ(c.port, 8443);

    std::ofstream(path, std::ios::app) << "refresh = 0\n";
    EXPECT_FALSE(vkweb::read_config(path, c, error));
    EXPECT_EQ(error, path + ":6: refresh must be 1 to 3600");

    // A link to it, or a file that others may change, is no configuration.
    std::ofstream(path) << "port = 9443\n";
    const std::string link = dir + "/link.conf";
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    EXPECT_FALSE(vkweb::read_config(link, c, error));
    ::chmod(path.c_str(), 0664);
    EXPECT_FALSE(vkweb::read_config(path, c, error));
    EXPECT_EQ(error, path + ": not a regular file that only root may write");
    std::filesystem::remove_all(dir);
}

}  // namespace
