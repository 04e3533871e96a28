// vkdirectory_probe: opens the administration connection as asked and runs
// token and user look-ups on it, so that end-to-end tests can drive the
// directory code inside a sandboxed host against a real directory server.
// Every step prints one line of "key=value" words.
//
//   vkdirectory_probe [--mode N] [--passwd PW] [CALL...]
//     open: vk_openDsConnection (mode 1 unless --mode) -> "open rc=N"
//   calls, each on the open connection:
//     ltokens NAME     vk_getLtokenByUser
//     display TOKEN    _vk_getDisplayUser of a session with that token name
//   The connection is closed at the end ("close rc=0").
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_internal.h"
#include "probe_usage.h"

namespace {

const char *show(const char *s) {
    return s ? s : "(null)";
}

std::string joined(char **a) {
    if (!a) return "(null)";
    std::string s;
    for (char **p = a; *p; ++p) s += (p == a ? "" : ",") + std::string(*p);
    return "[" + s + "]";
}

}  // namespace

int main(int argc, char **argv) {
    int mode = 1;
    const char *passwd = nullptr;
    int i = 1;
    // The next word of the command line: an option's value or a call's argument.
    auto next = [&]() -> const char * {
        if (i >= argc) bad_usage("missing argument");
        return argv[i++];
    };
    while (i < argc && std::strncmp(argv[i], "--", 2) == 0) {
        std::string opt = next();
        if (opt == "--mode") {
            mode = std::atoi(next());
        } else if (opt == "--passwd") {
            passwd = next();
        } else {
            bad_usage("unknown option");
        }
    }

    VKAdmin vka = nullptr;
    int rc = vk_openDsConnection(mode, nullptr, passwd, nullptr, nullptr, &vka);
    std::printf("open rc=%d\n", rc);
    std::fflush(stdout);
    while (i < argc) {
        std::string call = next();
        if (call == "ltokens") {
            const char *name = next();
            char **ids = reinterpret_cast<char **>(0x1);  // must be reset by the call
            int lrc = vk_getLtokenByUser(vka, name, &ids);
            std::printf("ltokens arg=%s rc=%d ids=%s\n", name, lrc, joined(ids).c_str());
            vk_free_array(ids);
        } else if (call == "display") {
            const char *token = next();
            vk_UserSession_t *s = allocate_userSession();
            s->tokenName = ::strdup(token);
            if (VKUser *u = _vk_getDisplayUser(vka, s)) {
                std::printf(
                    "display arg=%s id=%s name=%s other=%s create=%d status=%d desk=%s last=%d "
                    "misc1=%s misc2=%s ltokens=%s\n",
                    token, show(u->id), show(u->name), show(u->other_info), u->create_time,
                    u->status, show(u->last_desktop), u->last_time, show(u->misc1), show(u->misc2),
                    joined(u->logical_token_ids).c_str());
                free_user(u);
            } else {
                std::printf("display arg=%s user=(null)\n", token);
            }
            vk_freeUserSessionEnt(s);
        } else {
            bad_usage("unknown call");
        }
        std::fflush(stdout);
    }
    std::printf("close rc=%d\n", close_connection(vka));
    return 0;
}
