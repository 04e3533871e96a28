// /etc/opt/KELWvk/web/vkweb.conf: where vkweb listens, its certificate, who
// may log in, and how long the group has to answer.
#ifndef VK_WEB_CONFIG_H
#define VK_WEB_CONFIG_H

#include <string>

namespace vkweb {

inline constexpr const char *kConfigFile = "/etc/opt/KELWvk/web/vkweb.conf";

struct Config {
    std::string address = "127.0.0.1";
    int port = 8443;
    std::string certificate = "/etc/opt/KELWvk/web/vkweb.crt";
    std::string key = "/etc/opt/KELWvk/web/vkweb.key";
    std::string admin_group = "vkadmin";  // who may log in
    std::string user = "vkweb";           // the account the web side runs as
    int deadline = 20;                    // seconds a member has to answer
    int parallel = 32;                    // members asked at a time
    int idle = 15 * 60;                   // seconds a login lasts unused
    int lifetime = 12 * 3600;             // seconds a login lasts at most, used or not
    int refresh = 30;                     // seconds between the overview's own reloads
};

// Reads `path`: "key = value" lines, blank lines and "#" comments. A
// missing file gives the defaults. False, with `error` ("PATH:LINE: why"),
// for an unknown key, a bad value, or a file that others may write.
bool read_config(const std::string &path, Config &out, std::string &error);

}  // namespace vkweb

#endif
