// The text helpers that the parsers share: key=value splitting, trimming,
// the digit and containment tests, and shell words (quoting for command
// lines and the strict reading of such lines on the receiving server).
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"
#include "shell_words.h"
#include "utils.h"

namespace {

bool trim_char(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// A trimmed side: absent, or non-empty without blanks at its ends.
void check_trimmed(const char *s, size_t max) {
    if (!s) return;
    size_t n = std::strlen(s);
    fuzz::check(n > 0 && n <= max, "a trimmed text is not empty and within its buffer");
    fuzz::check(!trim_char(s[0]) && (n == 1 || !trim_char(s[n - 1])), "a trimmed text is trimmed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::string a = in.ConsumeRandomLengthString(1100);
    std::string b = in.ConsumeRemainingBytesAsString();
    const std::string bz = b.c_str();  // as a C text

    char *key = nullptr, *value = nullptr;
    int pair = parse_key_and_value(a.c_str(), &key, &value);
    fuzz::check(pair == 1 || (!key && !value), "no pair, no outputs");
    if (pair) fuzz::check(std::strchr(a.c_str(), '=') && a[0] != '#', "a pair has an equals sign");
    check_trimmed(key, 511);
    check_trimmed(value, 511);
    std::free(key);
    std::free(value);

    char *t = strip_leading_and_trailing_whitespace(a.c_str());
    check_trimmed(t, a.size());
    if (t) fuzz::check(std::strstr(a.c_str(), t) != nullptr, "trimming keeps the middle");
    std::free(t);

    bool digits = true;
    for (const char *p = a.c_str(); *p; ++p)
        digits = digits && std::isdigit(static_cast<unsigned char>(*p));
    fuzz::check(is_numeric(a.c_str()) == (digits ? 1 : 0), "is_numeric tests every character");
    fuzz::check(is_substring(a.c_str(), a.c_str()) == 1, "a text contains itself");
    fuzz::check(is_substring(a.c_str(), "") == 1, "every text contains the empty text");
    (void)is_substring(a.c_str(), bz.c_str());

    // What a shell word becomes on the receiving side is exactly the value.
    std::string word = vk::shell_word(bz);
    auto words = vk::split_shell_words(word);
    fuzz::check(words && words->size() == 1 && (*words)[0] == bz,
                "a shell word splits back to itself");
    if (is_shell_safe(bz.c_str())) fuzz::check(word == bz, "a safe value needs no quotes");
    (void)vk::split_shell_words(a);  // any line: a value or none, never a crash
    return 0;
}
