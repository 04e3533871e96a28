#include "config.h"

#include <charconv>

#include "root_file.h"

namespace vkweb {

namespace {

// A configuration of a dozen keys; anything longer is no such file.
constexpr size_t kMaxConfigSize = size_t{64} << 10;

bool number(const std::string &v, int lo, int hi, int &out) {
    int n = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec != std::errc() || end != v.data() + v.size() || n < lo || n > hi) return false;
    out = n;
    return true;
}

// A name of a group or account: what useradd accepts, no more.
bool plain_name(const std::string &v) {
    if (v.empty() || v.size() > 32 || v[0] == '-') return false;
    for (char c : v)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.'))
            return false;
    return true;
}

}  // namespace

bool read_config(const std::string &path, Config &out, std::string &error) {
    out = Config{};
    // It names the key and who may log in: root's alone, read without
    // following a link, so that it cannot be swapped between a check and
    // the read.
    std::optional<std::string> text;
    if (!vk::read_root_file(path, kMaxConfigSize, text, error)) return false;
    return vk::for_each_setting_line(text.value_or(""), [&](size_t number_of_line,
                                                            std::string_view t) {
        auto fail = [&](const std::string &why) {
            error = path;
            error += ":" + std::to_string(number_of_line) + ": ";
            error += why;
            return false;
        };
        if (t.size() > 4096) return fail("line too long");
        size_t eq = t.find('=');
        if (eq == std::string_view::npos) return fail("not key = value");
        std::string key(vk::trim_blanks(t.substr(0, eq))), value(vk::trim_blanks(t.substr(eq + 1)));
        if (key == "address") {
            if (value.empty()) return fail("address is empty");
            out.address = value;
        } else if (key == "port") {
            if (!number(value, 1, 65535, out.port)) return fail("port must be 1 to 65535");
        } else if (key == "certificate" || key == "key") {
            if (value.empty() || value[0] != '/') return fail(key + " must be an absolute path");
            (key == "key" ? out.key : out.certificate) = value;
        } else if (key == "admin_group" || key == "user") {
            if (!plain_name(value)) return fail(key + " must be a plain name");
            (key == "user" ? out.user : out.admin_group) = value;
        } else if (key == "deadline") {
            if (!number(value, 1, 3600, out.deadline)) return fail("deadline must be 1 to 3600");
        } else if (key == "idle") {
            if (!number(value, 1, 24 * 3600, out.idle)) return fail("idle must be 1 to 86400");
        } else if (key == "lifetime") {
            if (!number(value, 1, 7 * 24 * 3600, out.lifetime))
                return fail("lifetime must be 1 to 604800");
        } else if (key == "refresh") {
            if (!number(value, 1, 3600, out.refresh)) return fail("refresh must be 1 to 3600");
        } else if (key == "parallel") {
            if (!number(value, 1, 1024, out.parallel)) return fail("parallel must be 1 to 1024");
        } else {
            return fail("unknown key: " + key.substr(0, 40));
        }
        return true;
    });
}

}  // namespace vkweb
