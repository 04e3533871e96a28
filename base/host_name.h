// Host names as the group's files, command lines and requests name them.
#ifndef VK_BASE_HOST_NAME_H
#define VK_BASE_HOST_NAME_H

#include <string_view>

namespace vk {

// A host name: at most 253 characters, labels of letters, digits and "-"
// between dots, each 1 to 63 long and neither starting nor ending with "-"
// (a name that starts with "-" would reach ssh as an option).
bool valid_host_name(std::string_view name);

// Host names are compared without letter case.
bool same_host(std::string_view a, std::string_view b);

}  // namespace vk

#endif
