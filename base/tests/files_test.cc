// Files replaced whole and files only root may change: what a reader finds
// after a write that succeeds, fails or is killed half-way, and which files
// the root-only reader refuses.
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "atomic_file.h"
#include "scratch_dir.h"
#include "vkcxx.h"
#include "root_file.h"

namespace {

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

mode_t mode_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(BaseFiles, AWriteReplacesTheFileWholeAndLeavesNothingBeside) {
    vktest::Scratch dir;
    const std::string path = dir.file("metrics.prom", "old\n");
    std::string error;
    ASSERT_TRUE(vk::write_file_atomically(path, "new\n", 0644, error)) << error;
    EXPECT_EQ(contents(path), "new\n");
    EXPECT_EQ(mode_of(path), 0644u);
    ASSERT_TRUE(vk::write_file_atomically(path, std::string(100000, 'x'), 0600, error)) << error;
    EXPECT_EQ(contents(path).size(), 100000u);
    EXPECT_EQ(mode_of(path), 0600u);  // the mode asked for, whatever the umask
    EXPECT_EQ(entries(dir.path("")), std::vector<std::string>{"metrics.prom"});

    // A killed earlier run with our pid left its temporary file: taken over.
    const std::string leftover = ".metrics.prom." + std::to_string(::getpid()) + ".";
    for (int n = 0; n < 4; ++n) dir.file(leftover + std::to_string(n), "junk");
    ASSERT_TRUE(vk::write_file_atomically(path, "again\n", 0644, error)) << error;
    EXPECT_EQ(contents(path), "again\n");

    // A file not before a given time (a session file compared with another's).
    vk::Fd d(::open(dir.path("").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct timespec later = {::time(nullptr) + 3600, 0};
    ASSERT_EQ(vk::write_file_atomically(d.get(), "proc", "x", 0644, &later), 0);
    struct stat st {};
    ASSERT_EQ(::stat(dir.path("proc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, later.tv_sec);
    EXPECT_EQ(vk::write_file_atomically(d.get(), "a/b", "x", 0644), EINVAL);
}

TEST(BaseFiles, AFailedOrKilledWriteKeepsTheOldFileAndNoTemporaryOne) {
    vktest::Scratch dir;
    const std::string path = dir.file("observed", "old\n");
    std::string error;
    EXPECT_FALSE(vk::write_file_atomically(dir.path("none/observed"), "x", 0600, error));
    EXPECT_NE(error.find("none/observed: "), std::string::npos) << error;
    EXPECT_FALSE(vk::write_file_atomically(path + std::string(300, 'n'), "x", 0600, error));

    // A file size limit stops the write half-way: with SIGXFSZ ignored the
    // write fails; at its default the signal ends the program, which must
    // not leave its temporary file behind either.
    for (bool ignored : {true, false}) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::signal(SIGXFSZ, ignored ? SIG_IGN : SIG_DFL);
            struct rlimit lim = {4096, 4096};
            ::setrlimit(RLIMIT_FSIZE, &lim);
            std::string why;
            bool ok = vk::write_file_atomically(path, std::string(65536, 'y'), 0600, why);
            ::_exit(!ok && why.find("too large") != std::string::npos ? 3 : 4);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        if (ignored)
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
        else
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
        EXPECT_EQ(contents(path), "old\n");
        EXPECT_EQ(entries(dir.path("")), std::vector<std::string>{"observed"});
    }
}

TEST(BaseFiles, OnlyRootsOwnFilesAreReadAndOnlyUpToTheirBound) {
    vktest::Scratch dir;
    std::optional<std::string> text;
    std::string error;
    EXPECT_TRUE(vk::read_root_file(dir.path("absent"), 100, text, error));
    EXPECT_FALSE(text);
    const std::string good = dir.file("good", "a = 1\n");
    ::chmod(good.c_str(), 0644);
    if (::geteuid() == 0) {
        EXPECT_TRUE(vk::read_root_file(good, 100, text, error)) << error;
        EXPECT_EQ(text, "a = 1\n");
        EXPECT_FALSE(vk::read_root_file(good, 5, text, error));
        EXPECT_NE(error.find("longer than 5 bytes"), std::string::npos) << error;
    }
    ::chmod(good.c_str(), 0664);  // its group may change it
    EXPECT_FALSE(vk::read_root_file(good, 100, text, error));
    ::chmod(good.c_str(), 0644);
    ::symlink(good.c_str(), dir.path("link").c_str());
    EXPECT_FALSE(vk::read_root_file(dir.path("link"), 100, text, error));
    EXPECT_FALSE(vk::read_root_file(dir.path(""), 100, text, error));
    EXPECT_FALSE(text);
}

}  // namespace
