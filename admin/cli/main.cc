// vksession: lists, terminates, suspends and resumes the user sessions of
// this Parvix server.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "cli.h"
#include "messages.h"

const char *prog = "vksession";
VKAdmin vka = nullptr;
int applyall = 0;
int xmode = 0;
char **ltarray = nullptr;

namespace {

constexpr const char *kUsage =
    "vksession -h\n"
    "vksession -p [-x] [-u <unixID>] [-t <tokenID>] [-d <display>]\n"
    "\t[-n <PXname>]\n"
    "vksession -l [-x] [-u <unixID>] [-t <tokenID>] [-d <display>]\n"
    "\t[-n <PXname>]\n"
    "vksession {-k|-s} [-x] [-a] {-u <unixID> | -t <tokenID> | -d <display> | \n"
    "\t-n <PXname>}\n"
    "vksession -r [-x] [-a] [-u <unixID>] [-t <tokenID>] [-d <display>]\n"
    "\t[-n <PXname>]\n";

constexpr const char *kDeprecated =
    "Warning: Suspend and Resume options have been deprecated and will be removed in a future "
    "release";

// Stores a filter's argument; a filter given twice is a usage error.
void set_filter(const char *&filter, const char *value, const char *twice) {
    if (filter) usage(twice);
    filter = value;
}

// Turns the -n name into its logical tokens. Answers 0, or -1 after
// reporting why the name cannot be used.
int resolve_name(const char *PXname) {
    if (!vka) open_directory_quietly();
    if (!vka) {
        if (xmode)
            std::fprintf(stderr, "**ERROR: %d\n", VK_ERR_ADMIN_DB);
        else
            std::fprintf(stderr, "%s error: could not connect to admin server\n", prog);
        return -1;
    }
    if (vk_getLtokenByUser(vka, PXname, &ltarray) != 0) {
        if (xmode)
            std::fprintf(stderr, "**ERROR: %d\n", VK_ERR_NOT_FOUND);
        else
            std::fprintf(stderr, "%s error: registered name not found in the database.\n", prog);
        close_connection(vka);
        vka = nullptr;
        return -1;
    }
    return 0;
}

}  // namespace

void usage(const char *msg) {
    if (msg) std::fprintf(stderr, "%s error: %s\n", prog, msg);
    std::fputs(kUsage, stderr);
    std::exit(1);
}

const char *error_string(int code) {
    return code == VK_ERR_NOT_FOUND ? "No session found!" : vk::message(code);
}

void open_directory_quietly() {
    set_suppress_output(1);
    int rc = 0;
    vka = open_connection(1, nullptr, nullptr, nullptr, &rc);
    set_suppress_output(0);
}

int main(int argc, char **argv) {
    vk::use_user_language();
    if (argc > 0 && argv[0]) prog = argv[0];
    if (argc <= 1) usage("Missing arguments!");

    const char *unixID = nullptr, *tokenID = nullptr, *dispNO = nullptr, *PXname = nullptr;
    int cmd = 0;
    int c;
    // "+": options end at the first operand, whatever POSIXLY_CORRECT says.
    while ((c = getopt(argc, argv, "+ad:hkn:plrst:u:x")) != -1) {
        int action = 0;
        switch (c) {
            case 'a':
                applyall = 1;
                break;
            case 'x':
                xmode = 1;
                break;
            case 'd':
                set_filter(dispNO, optarg, "Multiply defined display number!");
                break;
            case 'n':
                set_filter(PXname, optarg, "Multiply defined Parvix name!");
                break;
            case 't':
                set_filter(tokenID, optarg, "Multiply defined token ID!");
                break;
            case 'u':
                set_filter(unixID, optarg, "Multiply defined Unix ID!");
                break;
            case 'h':
                action = VK_ACT_HELP;
                break;
            case 'p':
                action = VK_ACT_PRINT;
                break;
            case 'k':
                action = VK_ACT_KILL;
                break;
            case 'l':
                action = VK_ACT_LIST;
                break;
            case 'r':
                action = VK_ACT_RESUME;
                break;
            case 's':
                action = VK_ACT_SUSPEND;
                break;
            default:
                usage(nullptr);
        }
        if (action) {
            if (cmd) usage("Conflicting -p, -h, -k, -s, and -r options!");
            cmd = action;
        }
    }
    if (optind < argc) usage("Extra operands not allowed!");

    if (PXname && resolve_name(PXname) != 0) return -1;

    int result = 0;
    switch (cmd) {
        case 0:
            usage("Must specify at least one option: -p, -h, -k, -s, or -r!");
        case VK_ACT_HELP:
            if (applyall || xmode || unixID || tokenID || dispNO || PXname)
                usage("No options allowed with -h option!");
            usage(nullptr);
        case VK_ACT_PRINT:
        case VK_ACT_LIST:
            if (applyall)
                usage(cmd == VK_ACT_PRINT ? "Option -a is not allowed with -p option!"
                                          : "Option -a is not allowed with -l option!");
            result = print_session(unixID, tokenID, PXname, dispNO, cmd);
            break;
        case VK_ACT_KILL:
            result = kill_session(unixID, tokenID, PXname, dispNO);
            break;
        case VK_ACT_RESUME:
        case VK_ACT_SUSPEND:
            result = cmd == VK_ACT_RESUME ? resume_session(unixID, tokenID, PXname, dispNO)
                                          : suspend_session(unixID, tokenID, PXname, dispNO);
            std::fflush(stdout);
            std::fprintf(stderr, "%s \n", kDeprecated);
            break;
    }
    close_connection(vka);
    vka = nullptr;
    return result;
}
