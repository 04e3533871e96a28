// Display files: the key=value files of /var/opt/KELWvk/displays and
// ctokens, read with parse_displayfile.
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "session_files.h"

namespace {

// A value is the rest of a line piece of at most 999 characters after its key.
bool fits_a_piece(const char *v, size_t key_len) {
    return v && std::strlen(v) <= 999 - key_len;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = fuzz::write_input(data, size);
    vk_UserSession_t *rec = nullptr;
    char *set = nullptr;
    int rc = parse_displayfile(path, &rec, &set);
    if (rc != VK_OK) {
        fuzz::check(rc == VK_ERR_NO_FILE, "an unreadable display file gives -19 only");
        fuzz::check(!rec && !set, "no outputs on failure");
        return 0;
    }
    fuzz::check(fits_a_piece(rec->tokenName, 6) && fits_a_piece(rec->rawtoken, 13) &&
                    fits_a_piece(rec->dispNo, 8) && fits_a_piece(rec->sessionType, 13) &&
                    fits_a_piece(set, 10),
                "a complete file sets every key, within one line piece");
    fuzz::check(rec->state == VK_SESSION_DISCONNECTED && !rec->unixID && !rec->server,
                "a fresh record is disconnected and has nothing else");
    vk_freeUserSessionEnt(rec);
    std::free(set);
    return 0;
}
