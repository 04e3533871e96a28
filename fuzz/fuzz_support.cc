// Support of the fuzz targets: a private scratch directory, and a system log
// that goes nowhere.
#include "fuzz_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string scratch;

void remove_scratch() {
    if (scratch.empty()) return;
    std::string cmd = "rm -rf '" + scratch + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", scratch.c_str());
}

const std::string &scratch_dir() {
    if (scratch.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vkfuzz.XXXXXX";
        if (!::mkdtemp(templ.data())) fuzz::fail("cannot make a scratch directory");
        scratch = templ;
        std::atexit(remove_scratch);
    }
    return scratch;
}

}  // namespace

namespace fuzz {

const char *write_input(const uint8_t *data, size_t size, const char *name) {
    static std::string path;
    path = scratch_dir() + "/" + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fail("cannot write the input file");
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) fail("cannot write the input file");
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return path.c_str();
}

std::string text(const uint8_t *data, size_t size) {
    return std::string(reinterpret_cast<const char *>(data),
                       ::strnlen(reinterpret_cast<const char *>(data), size));
}

void fail(const char *what) {
    std::fprintf(stderr, "broken property: %s\n", what);
    std::abort();
}

}  // namespace fuzz

// The library reports to the system log. At fuzzing speed that would flood
// the machine's log, so the fuzz targets carry a system log of their own
// that drops everything (the library's muting does not cover debug lines).
extern "C" {
void openlog(const char *, int, int) {}
void closelog(void) {}
void syslog(int, const char *, ...) {}
void vsyslog(int, const char *, va_list) {}
void __syslog_chk(int, int, const char *, ...) {}
void __vsyslog_chk(int, int, const char *, va_list) {}
}
