// The short form of a token id: its last two dot-separated parts.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "vkadmin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string id = fuzz::text(data, size);
    const char *s = get_short_token_id(id.c_str());
    fuzz::check(s >= id.c_str() && s <= id.c_str() + id.size(), "a position inside the id");
    size_t dots = 0;
    for (char c : id) dots += c == '.';
    size_t kept = 0;
    for (const char *p = s; *p; ++p) kept += *p == '.';
    if (dots < 2)
        fuzz::check(s == id.c_str(), "fewer than two dots: the whole id");
    else
        fuzz::check(kept == 1 && s > id.c_str() && s[-1] == '.',
                    "the text after the second dot from the end");
    return 0;
}
