// Configuration that decides what root does: files only root may change,
// read whole, and their "key = value" or one-item lines.
#ifndef VK_BASE_ROOT_FILE_H
#define VK_BASE_ROOT_FILE_H

#include <optional>
#include <string>
#include <string_view>

namespace vk {

// Reads the whole of `path` into `text` when it is a regular file of
// root's that neither its group nor others may write, of at most
// `max_size` bytes; symbolic links are not followed. With no such file,
// `text` is left empty (no file is not an empty file: the callers take
// their defaults). Answers false, with `error` ("PATH: why"), when the
// file is there but refused.
bool read_root_file(const std::string &path, size_t max_size, std::optional<std::string> &text,
                    std::string &error);

// Calls `on_line(number, line)` for each line of `text` that is neither
// blank nor a comment (first non-blank character "#"), with the blanks
// around it dropped; stops at the first call that answers false, and
// answers whether every call answered true.
template <class F>
bool for_each_setting_line(std::string_view text, F &&on_line);

// A line as it may be shown in a message: printable ASCII, at most 80
// characters.
std::string shown_line(std::string_view line);

std::string_view trim_blanks(std::string_view s);

template <class F>
bool for_each_setting_line(std::string_view text, F &&on_line) {
    std::string_view rest(text);
    for (size_t number = 1; !rest.empty(); ++number) {
        size_t nl = rest.find('\n');
        std::string_view line = trim_blanks(rest.substr(0, nl));
        rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
        if (line.empty() || line.front() == '#') continue;
        if (!on_line(number, line)) return false;
    }
    return true;
}

}  // namespace vk

#endif
