#include "members.h"

#include <algorithm>
#include <strings.h>
#include <unistd.h>

#include "host_name.h"
#include "root_file.h"

namespace vkgroup {

namespace {

// A members file is a list of host names: a few KiB. More than this is no
// members file.
constexpr size_t kMaxFileSize = size_t{1} << 20;
constexpr size_t kMaxMembers = 4096;

void add_member(std::vector<Member> &list, std::string_view name, const std::string &self) {
    for (const Member &m : list)
        if (vk::same_host(m.name, name)) return;
    list.push_back({std::string(name), !self.empty() && vk::same_host(name, self)});
}

void sort_members(std::vector<Member> &list) {
    std::sort(list.begin(), list.end(), [](const Member &a, const Member &b) {
        int c = strcasecmp(a.name.c_str(), b.name.c_str());
        return c != 0 ? c < 0 : a.name < b.name;
    });
}

}  // namespace

std::string this_host() {
    char host[256] = {0};
    if (::gethostname(host, sizeof host - 1) != 0) return {};
    return host;
}

bool read_members(const std::string &path, Members &out, std::string &error) {
    out = Members{};
    const std::string self = this_host();
    // The file decides which hosts root's group key is offered to.
    std::optional<std::string> text;
    if (!vk::read_root_file(path, kMaxFileSize, text, error)) return false;
    if (!text) {
        out.file_missing = true;
        if (!self.empty()) out.list.push_back({self, true});
        return true;
    }
    bool ok = vk::for_each_setting_line(*text, [&](size_t number, std::string_view name) {
        if (!vk::valid_host_name(name)) {
            error =
                path + ":" + std::to_string(number) + ": not a host name: " + vk::shown_line(name);
            return false;
        }
        if (out.list.size() == kMaxMembers) {
            error = path + ":" + std::to_string(number) + ": more than " +
                    std::to_string(kMaxMembers) + " members";
            return false;
        }
        add_member(out.list, name, self);
        return true;
    });
    if (!ok) return false;
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
        if (!vk::valid_host_name(n)) {
            error = "not a host name: " + vk::shown_line(n);
            return false;
        }
        auto known = std::find_if(all.list.begin(), all.list.end(),
                                  [&n](const Member &m) { return vk::same_host(m.name, n); });
        add_member(out,
                   known != all.list.end() ? std::string_view(known->name) : std::string_view(n),
                   self);
    }
    sort_members(out);
    return true;
}

}  // namespace vkgroup
