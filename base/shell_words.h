// Words on a POSIX shell command line: quoting a text so that the shell
// hands it on as exactly one word, and the strict reverse for a program
// that must take such a line apart itself instead of giving it to a shell.
//
// The library, the remote-command program and its gate on the receiving
// host all place texts that come from callers, session records or the
// network onto command lines, so the two directions live in one place and
// are tested against a real shell.
#ifndef VK_SHELL_WORDS_H
#define VK_SHELL_WORDS_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vk {

// Characters that a shell takes literally anywhere in an unquoted word.
// Left out on purpose, besides the obvious metacharacters: "~" (tilde
// expansion at the start of a word), "*", "?", "[" (file name patterns),
// "{", "}" (brace expansion in some shells), "!", "#", and "=", which
// turns a first word into a variable assignment.
inline bool shell_plain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '/' || c == ',' || c == ':' || c == '@' || c == '+' ||
           c == '%';
}

// `w` as one shell word: unchanged when every character is plain, otherwise
// in single quotes, each single quote inside written as '\'' (close the
// quote, an escaped quote, open again). Inside single quotes a POSIX shell
// expands nothing, so no byte of `w` can end the word or start a command.
// The empty text becomes '' so that it still is a word.
inline std::string shell_word(std::string_view w) {
    bool plain = !w.empty();
    for (char c : w) plain = plain && shell_plain(c);
    if (plain) return std::string(w);
    std::string q = "'";
    for (char c : w) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    q += '\'';
    return q;
}

// Words joined by single blanks, each quoted with shell_word.
inline std::string shell_words(const std::vector<std::string> &words) {
    std::string line;
    for (const std::string &w : words) {
        if (!line.empty()) line += ' ';
        line += shell_word(w);
    }
    return line;
}

// Splits a line of words written the way shell_word writes them: blanks or
// tabs between words; in a word, plain characters, single-quoted parts and
// backslash-escaped characters. Everything else that a shell would act on
// (an unquoted ";", "|", "&", "$", "`", "<", ">", "(", a double quote, a
// pattern character, a newline, an unterminated quote, a trailing
// backslash) makes the line unacceptable: no value, rather than a guess at
// what a shell would have done.
inline std::optional<std::vector<std::string>> split_shell_words(std::string_view line) {
    std::vector<std::string> words;
    std::string cur;
    bool in_word = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == ' ' || c == '\t') {
            if (in_word) words.push_back(std::move(cur));
            cur.clear();
            in_word = false;
            continue;
        }
        in_word = true;
        if (c == '\'') {
            size_t close = line.find('\'', i + 1);
            if (close == std::string_view::npos) return std::nullopt;
            cur.append(line.substr(i + 1, close - i - 1));
            i = close;
        } else if (c == '\\') {
            if (i + 1 >= line.size() || line[i + 1] == '\n') return std::nullopt;
            cur += line[++i];
        } else if (shell_plain(c)) {
            cur += c;
        } else {
            return std::nullopt;
        }
    }
    if (in_word) words.push_back(std::move(cur));
    return words;
}

}  // namespace vk

#endif
