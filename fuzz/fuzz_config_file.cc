// The administration configuration file and the password file, read with
// read_config_file and read_passwd_file from a file of the scratch
// directory, then checked for every connection mode.
#include <cstdlib>
#include <cstring>

#include "admin_internal.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = fuzz::write_input(data, size);
    VKAdmin vka = allocate_vka();
    fuzz::check(read_config_file(vka, path) == VK_OK, "a readable file is read");
    for (int mode = VK_MODE_ANONYMOUS; mode <= VK_MODE_USER; ++mode) {
        vka->mode = mode;
        int rc = check_vka(vka);
        fuzz::check(rc == 0 || rc == -1, "check_vka answers 0 or -1");
    }
    free_vka(vka);
    DStimeout = 10;
    set_gdebug(nullptr);  // "admin.debug" switches debug lines on process-wide

    int code = 1;
    char *pw = read_passwd_file(path, &code);
    fuzz::check(pw ? code == 0 : code == -1, "a password, or -1");
    if (pw) {
        fuzz::check(*pw && std::strlen(pw) <= 511 && !std::strchr(pw, '\n'),
                    "a password is one non-empty line");
        char *back = scramble_text(pw);
        char *twice = scramble_text(back);
        fuzz::check(std::strcmp(twice, pw) == 0, "scrambling is its own inverse");
        std::free(back);
        std::free(twice);
        std::free(pw);
    }
    return 0;
}
