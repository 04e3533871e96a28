// vkgroup: the sessions of another server of the failover group, from the
// command line, through the administration library's enumeration and its
// three session operations (which reach the other server with vkrcmd).
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "vkadmin.h"

namespace {

constexpr const char *kUsage =
    "NAME\n"
    "    vkgroup - list and act on the sessions of another server of the failover group\n"
    "\n"
    "SYNOPSIS\n"
    "    vkgroup list [-x] SERVER [FILTER]\n"
    "    vkgroup {suspend|resume|terminate} SERVER [-t TOKEN] [-u LOGIN] [-d DISPLAY]\n"
    "    vkgroup -h\n"
    "\n"
    "DESCRIPTION\n"
    "    list prints the sessions of SERVER as a table (token, Unix login, display,\n"
    "    state letters D disconnected, I idle, S suspended, E encrypted, A\n"
    "    authenticated, and the server), or with -x as record lines, one per session.\n"
    "    FILTER selects: unix.LOGIN (or unix.UID), display.N, or a token (logical\n"
    "    name or raw id). Without FILTER every session is listed.\n"
    "\n"
    "    suspend, resume and terminate act on the session of SERVER that the given\n"
    "    token, Unix login and display select (at least one of them; a session must\n"
    "    match all that are given). Suspend and resume answer \"Internal system\n"
    "    error\" even when they succeed: the other server prints a deprecation\n"
    "    warning first, which the library cannot take for a success.\n"
    "\n"
    "    SERVER is reached with /opt/KELWvk/lib/vkrcmd; this host's own name\n"
    "    (in any letter case) means the sessions of this host.\n"
    "\n"
    "EXIT STATUS\n"
    "    0   success\n"
    "    1   the library reported an error: \"vkgroup: ACTION SERVER: MESSAGE (CODE)\"\n"
    "        on standard error; records that arrived before a failure are printed\n"
    "    2   usage error, or -h\n";

int usage(const char *why) {
    if (why) std::fprintf(stderr, "vkgroup: %s\n", why);
    std::fputs(kUsage, why ? stderr : stdout);
    return 2;
}

int report(const char *action, const char *server, int code) {
    std::fprintf(stderr, "vkgroup: %s %s: %s (%d)\n", action, server, vk_err2str(code), code);
    return 1;
}

struct SessionFree {
    void operator()(vk_UserSession_t *s) const noexcept { vk_freeUserSessionEnt(s); }
};
using Session = std::unique_ptr<vk_UserSession_t, SessionFree>;

const char *or_unknown(const char *s) {
    return s ? s : "???";
}

std::string letters(const vk_UserSession_t *s) {
    std::string l;
    if (s->state & VK_SESSION_DISCONNECTED) l += 'D';
    if (s->state & VK_SESSION_IDLE) l += 'I';
    if (s->state & VK_SESSION_SUSPENDED) l += 'S';
    if (!(s->state & VK_SESSION_DISCONNECTED)) {
        auto secured = [](const char *a, const char *b) {
            return a && b && (!std::strstr(a, "none") || !std::strstr(b, "none"));
        };
        if (secured(s->enc_up, s->enc_down)) l += 'E';
        if (secured(s->auth_up, s->auth_down)) l += 'A';
    }
    return l;
}

int list(bool records, const char *server, const char *filter) {
    int rc = vk_setUserSessionEnt(filter, server);
    // A failed search can still leave the records that arrived before the
    // failure; they are shown, then the failure.
    bool header = !records;
    vk_UserSession_t *got = nullptr;
    while (vk_getUserSessionEnt(&got) == VK_OK) {
        Session s(got);
        if (records) {
            vk_printUserSessionEnt(stdout, s.get());
            continue;
        }
        if (header) {
            std::printf("%-30s %-10s %-4s %-5s %s\n", "Token ID", "Unix ID", "Disp", "State",
                        "Server");
            header = false;
        }
        std::printf("%-30s %-10s %-4s %-5s %s\n", or_unknown(_vk_getDisplayToken(s.get())),
                    or_unknown(s->unixID), or_unknown(s->dispNo), letters(s.get()).c_str(),
                    or_unknown(s->server));
    }
    vk_endUserSessionEnt();
    std::fflush(stdout);
    return rc == VK_OK ? 0 : report("list", server, rc);
}

int operate(const char *action, int argc, char **argv) {
    if (argc < 1) return usage("missing SERVER");
    const char *server = argv[0];
    const char *token = nullptr, *login = nullptr, *display = nullptr;
    for (int i = 1; i < argc; i += 2) {
        const char **slot = std::strcmp(argv[i], "-t") == 0   ? &token
                            : std::strcmp(argv[i], "-u") == 0 ? &login
                            : std::strcmp(argv[i], "-d") == 0 ? &display
                                                              : nullptr;
        if (!slot) return usage("unknown option");
        if (*slot) return usage("option given twice");
        if (i + 1 >= argc) return usage("option without its value");
        *slot = argv[i + 1];
    }
    if (!token && !login && !display) return usage("one of -t, -u, -d is required");

    // The record that an enumeration of SERVER would have handed out, as far
    // as the operations read it.
    Session s(allocate_userSession());
    if (!s) return report(action, server, VK_ERR_NO_MEMORY);
    for (auto [field, value] : {std::pair{&vk_UserSession_t::server, server},
                                {&vk_UserSession_t::tokenName, token},
                                {&vk_UserSession_t::unixID, login},
                                {&vk_UserSession_t::dispNo, display}}) {
        if (value && !(s.get()->*field = ::strdup(value)))
            return report(action, server, VK_ERR_NO_MEMORY);
    }
    int rc = std::strcmp(action, "suspend") == 0  ? vk_suspendUserSession(s.get())
             : std::strcmp(action, "resume") == 0 ? vk_resumeUserSession(s.get())
                                                  : vk_terminateUserSession(s.get());
    return rc == VK_OK ? 0 : report(action, server, rc);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage("missing action");
    std::string action = argv[1];
    if (action == "-h" && argc == 2) return usage(nullptr);
    if (action == "list") {
        int i = 2;
        bool records = i < argc && std::strcmp(argv[i], "-x") == 0;
        if (records) ++i;
        if (i >= argc) return usage("missing SERVER");
        if (argc - i > 2) return usage("too many operands");
        return list(records, argv[i], i + 1 < argc ? argv[i + 1] : nullptr);
    }
    if (action == "suspend" || action == "resume" || action == "terminate")
        return operate(argv[1], argc - 2, argv + 2);
    return usage("unknown action");
}
