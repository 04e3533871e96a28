// Session proc files of /tmp/KELWvk/session_proc, read with
// parse_sessionfile.
#include <cstring>

#include "fuzz_support.h"
#include "session_files.h"

namespace {

bool trim_char(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = fuzz::write_input(data, size);
    vk_SessionProc_t *sp = nullptr;
    int rc = parse_sessionfile(path, &sp);
    if (rc != VK_OK) {
        fuzz::check(rc == VK_ERR_NO_FILE && !sp, "an incomplete file gives -19 and nothing");
        return 0;
    }
    fuzz::check(sp->xid && sp->pid && sp->program, "a complete file has XID, pid and program");
    if (sp->uid) {
        size_t n = std::strlen(sp->uid);
        fuzz::check(n > 0 && !trim_char(sp->uid[0]) && !trim_char(sp->uid[n - 1]),
                    "the user id is trimmed and never empty");
    }
    free_sessionProc(sp);
    return 0;
}
