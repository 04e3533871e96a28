// vkadmin_probe: calls single operations of the administration library from
// the command line, so that end-to-end tests can drive the library inside a
// sandboxed host and look at what it does there (the enumeration of the
// host's sessions, the authentication manager's records). Every call prints
// one line of "key=value" words.
//
//   vkadmin_probe COMMAND ...
//   enum [FILTER|- [SERVER]]
//                     vk_setUserSessionEnt ("-": no filter; a SERVER other
//                     than this host: the remote search),
//                     vk_getUserSessionEnt until it fails (records in the
//                     record line format), end, and one more get after the end
//   operate suspend|resume|terminate SERVER TOKEN|- LOGIN|- DISPLAY|-
//                     the session operation on a record of SERVER with
//                     those fields ("-": absent)
//   authmgr HOST|- SORT [KEY...]
//                     vk_getAuthMgrRecords ("-": no host) with the keys
//                     given (none: no key list); the result, then one line
//                     per status record with the fields that the tests read
//   ping HOST|-       ping_host ("-": no host)
//   readback          parse_vkrcmd on each line of standard input, and the
//                     record written back with vk_printUserSessionEnt
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin.h"
#include "probe_usage.h"
#include "utils.h"
#include "vkadmin.h"
#include "vkerrno.h"

namespace {

// "-" stands for an absent text.
const char *arg(const char *a) {
    return std::strcmp(a, "-") == 0 ? nullptr : a;
}

int do_enum(int argc, char **argv) {
    if (argc > 2) bad_usage("enum: extra operand");
    std::printf("set rc=%d\n",
                vk_setUserSessionEnt(argc ? arg(argv[0]) : nullptr, argc > 1 ? argv[1] : nullptr));
    std::fflush(stdout);
    int rc;
    vk_UserSession_t *s = nullptr;
    while ((rc = vk_getUserSessionEnt(&s)) == 0) {
        vk_printUserSessionEnt(stdout, s);
        vk_freeUserSessionEnt(s);
        s = nullptr;
    }
    std::printf("get rc=%d\n", rc);
    vk_endUserSessionEnt();
    std::printf("get-after-end rc=%d\n", vk_getUserSessionEnt(&s));
    return 0;
}

int do_operate(int argc, char **argv) {
    if (argc != 5) bad_usage("operate: ACTION SERVER TOKEN LOGIN DISPLAY");
    vk_UserSession_t *s = allocate_userSession();
    if (!s) return 1;
    char **fields[] = {&s->server, &s->tokenName, &s->unixID, &s->dispNo};
    for (int i = 0; i < 4; ++i)
        if (const char *v = arg(argv[i + 1])) *fields[i] = ::strdup(v);
    std::string action = argv[0];
    int rc = action == "suspend"  ? vk_suspendUserSession(s)
             : action == "resume" ? vk_resumeUserSession(s)
                                  : vk_terminateUserSession(s);
    vk_freeUserSessionEnt(s);
    std::printf("rc=%d\n", rc);
    return 0;
}

int do_authmgr(int argc, char **argv) {
    if (argc < 2) bad_usage("authmgr: HOST SORT [KEY...]");
    using Text = char *vk_KeyValuesNode_t::*;
    // Only the fields that the tests look at.
    static const struct {
        const char *name;
        Text field;
    } kTexts[] = {{"terminal", &vk_KeyValuesNode_t::terminal_CID},
                  {"token", &vk_KeyValuesNode_t::token_name},
                  {"encUp", &vk_KeyValuesNode_t::enc_up_type}};
    char **keys = argc > 2 ? argv + 2 : nullptr;  // argv ends with a null entry
    vk_KeyValuesNode_t *list = nullptr;
    int rc = vk_getAuthMgrRecords(arg(argv[0]), std::atoi(argv[1]), nullptr, keys, &list);
    std::printf("rc=%d\n", rc);
    for (const vk_KeyValuesNode_t *n = list; n; n = n->next) {
        std::string line;
        for (auto &t : kTexts)
            if (n->*t.field)
                line += std::string(line.empty() ? "" : " ") + t.name + "=" + n->*t.field;
        std::printf("%s\n", line.c_str());
    }
    vk_free_KeyValuesNode_list(list);
    return 0;
}

int do_readback() {
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, stdin)) > 0) {
        if (line[n - 1] == '\n') line[n - 1] = '\0';
        vk_UserSession_t *s = nullptr;
        int rc = parse_vkrcmd(line, &s);
        if (rc != 0) std::printf("rc=%d\n", rc);
        vk_printUserSessionEnt(stdout, s);
        vk_freeUserSessionEnt(s);
    }
    std::free(line);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) bad_usage("missing command");
    std::string cmd = argv[1];
    int rest = argc - 2;
    char **args = argv + 2;
    if (cmd == "enum") return do_enum(rest, args);
    if (cmd == "authmgr") return do_authmgr(rest, args);
    if (cmd == "operate") return do_operate(rest, args);
    if (cmd == "ping" && rest == 1) return std::printf("rc=%d\n", ping_host(arg(args[0]))) < 0;
    if (cmd == "readback") return do_readback();
    bad_usage("unknown command");
}
