// Output of /bin/ps -o pid,s,uid,comm: single lines given to
// parse_ps_entry, and whole outputs cut into 1024-byte reads as the process
// table reads them.
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "vkadmin.h"

namespace {

void check_entry(int rc, vk_procTable_t *e) {
    if (rc != VK_OK) {
        fuzz::check(!e && (rc == VK_ERR_INTERNAL || rc == VK_ERR_NO_MEMORY),
                    "a line that does not parse gives -1 and nothing");
        return;
    }
    for (const char *f : {e->pid, e->uid, e->comm})
        fuzz::check(f && *f && !std::strchr(f, ' '), "each column is one non-empty word");
    fuzz::check(e->state == 0 || e->state == VK_PROC_STOPPED, "the state is 0 or stopped");
    free_ps_entry(e);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line = fuzz::text(data, size);
    vk_procTable_t *e = nullptr;
    check_entry(parse_ps_entry(line.data(), &e), e);

    // The same bytes as the whole output of ps.
    std::FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!f) return 0;
    char buf[1024];
    while (std::fgets(buf, sizeof buf, f)) {
        e = nullptr;
        check_entry(parse_ps_entry(buf, &e), e);
    }
    std::fclose(f);
    return 0;
}
