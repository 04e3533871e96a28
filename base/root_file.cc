#include "root_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text.h"
#include "vkcxx.h"

namespace vk {

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
    return one_line(line, 80);
}

bool read_root_file(const std::string &path, size_t max_size, std::optional<std::string> &text,
                    std::string &error) {
    text.reset();
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT) return true;
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
        (st.st_mode & (S_IWGRP | S_IWOTH))) {
        error = path + ": not a regular file that only root may write";
        return false;
    }
    const std::string too_long = path + ": longer than " + std::to_string(max_size) + " bytes";
    if (static_cast<uintmax_t>(st.st_size) > max_size) {
        error = too_long;
        return false;
    }
    // The file may grow while it is read: the bound holds for what is read.
    std::optional<std::string> all = read_all(fd.get(), max_size);
    if (!all) {
        error = errno == EFBIG ? too_long : path + ": " + std::strerror(errno);
        return false;
    }
    text = std::move(all);
    return true;
}

}  // namespace vk
