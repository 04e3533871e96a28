#include "root_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vkcxx.h"

namespace vkgroup {

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

std::string shown_line(std::string_view line) {
    std::string out;
    for (char c : line.substr(0, 80)) out += c >= 0x20 && c < 0x7f ? c : '?';
    if (line.size() > 80) out += "...";
    return out;
}

RootFile read_root_file(const std::string &path, size_t max_size, std::string &text,
                        std::string &error) {
    text.clear();
    vk::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT) return RootFile::Missing;
        error = path + ": " + std::strerror(errno);
        return RootFile::Refused;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
        (st.st_mode & (S_IWGRP | S_IWOTH))) {
        error = path + ": not a regular file that only root may write";
        return RootFile::Refused;
    }
    const std::string too_long = path + ": longer than " + std::to_string(max_size) + " bytes";
    if (static_cast<uintmax_t>(st.st_size) > max_size) {
        error = too_long;
        return RootFile::Refused;
    }
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = path + ": " + std::strerror(errno);
            return RootFile::Refused;
        }
        if (n == 0) return RootFile::Read;
        text.append(buf, static_cast<size_t>(n));
        // The file may grow while it is read.
        if (text.size() > max_size) {
            error = too_long;
            return RootFile::Refused;
        }
    }
}

}  // namespace vkgroup
