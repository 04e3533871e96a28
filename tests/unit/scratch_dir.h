// Scratch files of a unit test, in a directory of their own that goes
// with the test.
#ifndef VK_TEST_SCRATCH_DIR_H
#define VK_TEST_SCRATCH_DIR_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace vktest {

class Scratch {
  public:
    // Never fall back to another directory: files would land elsewhere.
    Scratch() : dir_(::testing::TempDir() + "vkdirXXXXXX") {
        if (!::mkdtemp(dir_.data())) std::abort();
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string file(const std::string &name, const std::string &text) {
        std::ofstream(path(name), std::ios::binary) << text;
        return path(name);
    }

  private:
    std::string dir_;
};

}  // namespace vktest

#endif
