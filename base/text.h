// Texts from far sides, files and the network, made fit for a terminal,
// a page or a line-based record.
#ifndef VK_BASE_TEXT_H
#define VK_BASE_TEXT_H

#include <optional>
#include <string>
#include <string_view>

namespace vk {

// The length of the valid UTF-8 sequence at text[i] (shortest form, no
// surrogate, at most U+10FFFF) and its code point in `cp`; 0 when the
// bytes there are no such sequence.
size_t utf8_at(std::string_view text, size_t i, unsigned &cp);

// Whether code point `cp` is a control character (C0, DEL, C1) or a
// control of bidirectional text (U+061C, U+200E, U+200F, U+202A to
// U+202E, U+2066 to U+2069).
bool control_character(unsigned cp);

// One line of printable ASCII, at most `max` characters ("..." marks a
// cut): for messages about what a far side said.
std::string one_line(std::string_view text, size_t max = 300);

// `text` with every control character (control_character) and every byte that is no part of valid
// UTF-8 shown as "?": what a terminal or a page gets, so that no token or name can move a cursor,
// change a terminal's settings, or reorder the text around it to pass for another.
std::string terminal_text(std::string_view text);

// `text` with the same characters as terminal_text replaces, and the
// backslash, written as \xHH for each of their bytes: machine output
// shown on a terminal, still readable and telling every byte.
std::string escaped_text(std::string_view text);
// `text` with every byte outside printable ASCII, the blank and "%" as
// %XX (lower-case hex): one word of a line-based record whatever it holds.
std::string percent_escape(std::string_view text);
// The text back; none when an escape is malformed or a byte that
// percent_escape() would have escaped stands bare.
std::optional<std::string> percent_unescape(std::string_view text);

}  // namespace vk

#endif
