#include "members.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vkcxx.h"

namespace vkgroup {

namespace {

// A members file is a list of host names: a few KiB. More than this is no
// members file.
constexpr off_t kMaxFileSize = off_t{1} << 20;
constexpr size_t kMaxMembers = 4096;

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// A line as it may be shown in a message: printable ASCII, at most 80
// characters.
std::string shown(std::string_view line) {
    std::string out;
    for (char c : line.substr(0, 80)) out += c >= 0x20 && c < 0x7f ? c : '?';
    if (line.size() > 80) out += "...";
    return out;
}

void add_member(std::vector<Member> &list, std::string_view name, const std::string &self) {
    for (const Member &m : list)
        if (same_host(m.name, name)) return;
    list.push_back({std::string(name), !self.empty() && same_host(name, self)});
}

void sort_members(std::vector<Member> &list) {
    std::sort(list.begin(), list.end(), [](const Member &a, const Member &b) {
        int c = strcasecmp(a.name.c_str(), b.name.c_str());
        return c != 0 ? c < 0 : a.name < b.name;
    });
}

}  // namespace

bool valid_host_name(std::string_view name) {
    if (name.empty() || name.size() > 253) return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        std::string_view label =
            name.substr(start, dot == std::string_view::npos ? name.npos : dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label) {
            bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-';
            if (!ok) return false;
        }
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return true;
}

bool same_host(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string this_host() {
    char host[256] = {0};
    if (::gethostname(host, sizeof host - 1) != 0) return {};
    return host;
}

bool read_members(const std::string &path, Members &out, std::string &error) {
    out = Members{};
    const std::string self = this_host();
    vk::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        if (errno != ENOENT) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        out.file_missing = true;
        if (!self.empty()) out.list.push_back({self, true});
        return true;
    }
    // The file decides which hosts root's group key is offered to: it must
    // be a regular file that only root may change.
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
        (st.st_mode & (S_IWGRP | S_IWOTH))) {
        error = path + ": not a regular file that only root may write";
        return false;
    }
    if (st.st_size > kMaxFileSize) {
        error = path + ": longer than " + std::to_string(kMaxFileSize) + " bytes";
        return false;
    }
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > static_cast<size_t>(kMaxFileSize)) {
            error = path + ": longer than " + std::to_string(kMaxFileSize) + " bytes";
            return false;
        }
    }
    std::string_view rest(text);
    for (size_t number = 1; !rest.empty(); ++number) {
        size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
        std::string_view name = trim(line);
        if (name.empty() || name.front() == '#') continue;
        if (!valid_host_name(name)) {
            error = path + ":" + std::to_string(number) + ": not a host name: " + shown(name);
            return false;
        }
        if (out.list.size() == kMaxMembers) {
            error = path + ":" + std::to_string(number) + ": more than " +
                    std::to_string(kMaxMembers) + " members";
            return false;
        }
        add_member(out.list, name, self);
    }
    if (!self.empty()) add_member(out.list, self, self);
    sort_members(out.list);
    return true;
}

bool pick_members(const Members &all, const std::vector<std::string> &names,
                  std::vector<Member> &out, std::string &error) {
    out.clear();
    if (names.empty()) {
        out = all.list;
        return true;
    }
    const std::string self = this_host();
    for (const std::string &n : names) {
        if (!valid_host_name(n)) {
            error = "not a host name: " + shown(n);
            return false;
        }
        auto known = std::find_if(all.list.begin(), all.list.end(),
                                  [&n](const Member &m) { return same_host(m.name, n); });
        add_member(out,
                   known != all.list.end() ? std::string_view(known->name) : std::string_view(n),
                   self);
    }
    sort_members(out);
    return true;
}

}  // namespace vkgroup
