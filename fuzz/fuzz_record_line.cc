// Record lines of machine mode, read with parse_vkrcmd. Whatever a line
// holds, the record read from it is written as exactly one line of fifteen
// fields, and that line reads back to a record that writes the same line.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "vkadmin.h"

namespace {

std::string written(const vk_UserSession_t *s) {
    char *buf = nullptr;
    size_t len = 0;
    std::FILE *f = open_memstream(&buf, &len);
    if (!f) fuzz::fail("open_memstream");
    vk_printUserSessionEnt(f, s);
    std::fclose(f);
    std::string line(buf, len);
    std::free(buf);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line = fuzz::text(data, size);
    vk_UserSession_t *rec = nullptr;
    int rc = parse_vkrcmd(line.data(), &rec);
    fuzz::check(rc == VK_OK && rec, "any line reads into a record");

    std::string out = written(rec);
    fuzz::check(!out.empty() && out.back() == '\n' && out.find('\n') == out.size() - 1 &&
                    out.find('\r') == std::string::npos,
                "a record is written as one line");
    size_t fields = 1;
    for (char c : out) fields += c == ';';
    fuzz::check(fields == 15, "a line has fifteen fields");

    std::string again = out.substr(0, out.size() - 1);
    vk_UserSession_t *back = nullptr;
    fuzz::check(parse_vkrcmd(again.data(), &back) == VK_OK, "a written line reads back");
    fuzz::check(written(back) == out, "a line read back is written the same");
    vk_freeUserSessionEnt(rec);
    vk_freeUserSessionEnt(back);
    return 0;
}
