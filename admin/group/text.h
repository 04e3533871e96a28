// Texts from far sides and files, made fit for a terminal.
#ifndef VK_GROUP_TEXT_H
#define VK_GROUP_TEXT_H

#include <string>
#include <string_view>

namespace vkgroup {

// One line of printable ASCII, at most `max` characters ("..." marks a
// cut): for messages about what a far side said.
std::string one_line(std::string_view text, size_t max = 300);

// `text` with every control character (C0, DEL, C1) and every byte that is
// no part of valid UTF-8 shown as "?": what a terminal gets in a table, so
// that no token or name can move its cursor or change its settings.
std::string terminal_text(std::string_view text);

}  // namespace vkgroup

#endif
