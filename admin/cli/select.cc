// Turns the filters of the command line into a set of sessions and applies
// the action to them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <strings.h>
#include <unistd.h>
#include <vector>

#include "cli.h"
#include "messages.h"
#include "text_order.h"
#include "vkcxx.h"

namespace {

constexpr size_t kMatchBuf = 128;

struct SessionFree {
    void operator()(vk_UserSession_t *s) const noexcept { vk_freeUserSessionEnt(s); }
};
using Session = std::unique_ptr<vk_UserSession_t, SessionFree>;

struct UserFree {
    void operator()(VKUser *u) const noexcept { free_user(u); }
};

bool equals_nocase(const char *a, const char *b) {
    return a && b && strcasecmp(a, b) == 0;
}

// Reports a failure in the form of the current mode.
void report(int code, const char *text) {
    if (xmode)
        std::fprintf(stderr, "**ERROR: %d\n", code);
    else
        std::fprintf(stderr, "%s error: %s\n", prog, text);
}

enum class Kind { Login, Display, Token, All };

bool display_check(const vk_UserSession_t *s, const char *dispNO) {
    return !dispNO || (s->dispNo && std::strcmp(s->dispNo, dispNO) == 0);
}

bool token_check(const vk_UserSession_t *s, const char *tokenID) {
    return !tokenID || equals_nocase(tokenID, s->tokenName) || equals_nocase(tokenID, s->rawtoken);
}

// The session belongs to the registered name: its token is one of the
// name's logical tokens, or its raw token's registered user has that name.
bool name_check(const vk_UserSession_t *s, const char *PXname) {
    if (!PXname) return true;
    if (!ltarray || !ltarray[0]) return false;
    for (char **lt = ltarray; *lt; ++lt) {
        if (equals_nocase(s->tokenName, *lt)) return true;
        std::unique_ptr<VKUser, UserFree> user(raw_token_id_to_user(vka, s->rawtoken));
        if (user && equals_nocase(user->name, PXname)) return true;
    }
    return false;
}

bool passes(Kind kind, const vk_UserSession_t *s, const char *tokenID, const char *PXname,
            const char *dispNO) {
    switch (kind) {
        case Kind::Login:
            return display_check(s, dispNO) && token_check(s, tokenID) && name_check(s, PXname);
        case Kind::Display:
            return token_check(s, tokenID) && name_check(s, PXname);
        case Kind::Token:
            return name_check(s, PXname);
        case Kind::All:
            return true;
    }
    return false;
}

// Runs the action on every record of the result, in its order.
int act_on(int oper, const std::vector<Session> &found) {
    if (oper == VK_ACT_PRINT || oper == VK_ACT_LIST) {
        for (const Session &s : found) printEnt(s.get(), oper);
        return 0;
    }
    if (found.size() > 1 && !applyall) {
        report(VK_ERR_INVALID_ARGS, "more than one session found.  Use -a or more filter options.");
        return 1;
    }
    for (const Session &held : found) {
        vk_UserSession_t *s = held.get();
        bool suspended = s->state & VK_SESSION_SUSPENDED;
        int rc = 0;
        if (oper == VK_ACT_RESUME) {
            if (!suspended) continue;
            rc = vk_resumeUserSession(s);
        } else if (oper == VK_ACT_SUSPEND) {
            if (suspended) continue;
            send_message(s);
            sleep(3);
            rc = vk_suspendUserSession(s);
        } else {
            rc = vk_terminateUserSession(s);
        }
        if (rc != 0) {
            if (xmode)
                std::fprintf(stderr, "**ERROR: %d\n", rc);
            else if (rc == VK_ERR_NO_FILE)
                std::fprintf(stderr,
                             "%s error: Operation failed (invalid or missing session proc file)\n",
                             prog);
            else
                std::fprintf(stderr, "%s error: Operation failed (%s)\n", prog, vk::message(rc));
            return 1;
        }
    }
    return 0;
}

}  // namespace

int print_session(const char *unixID, const char *tokenID, const char *PXname, const char *dispNO,
                  int mode) {
    if (!vka) open_directory_quietly();
    return find_session(mode, unixID, tokenID, PXname, dispNO);
}

int kill_session(const char *unixID, const char *tokenID, const char *PXname, const char *dispNO) {
    if (!unixID && !tokenID && !PXname && !dispNO)
        usage("At least one of these options -u, -t, -n, -d must be specified with -k option!");
    return find_session(VK_ACT_KILL, unixID, tokenID, PXname, dispNO);
}

int resume_session(const char *unixID, const char *tokenID, const char *PXname,
                   const char *dispNO) {
    return find_session(VK_ACT_RESUME, unixID, tokenID, PXname, dispNO);
}

int suspend_session(const char *unixID, const char *tokenID, const char *PXname,
                    const char *dispNO) {
    if (!unixID && !tokenID && !PXname && !dispNO)
        usage("At least one of these options -u, -t, -n, -d must be specified with -s option!");
    return find_session(VK_ACT_SUSPEND, unixID, tokenID, PXname, dispNO);
}

int find_session(int oper, const char *unixID, const char *tokenID, const char *PXname,
                 const char *dispNO) {
    char match_buf[kMatchBuf];
    const char *filter = nullptr;
    Kind kind = Kind::All;
    if (unixID) {
        if (std::strlen(unixID) > kMatchBuf - sizeof "unix." - 1) {
            report(VK_ERR_INVALID_ARGS, "Unix login name too long");
            return 1;
        }
        std::snprintf(match_buf, sizeof match_buf, "unix.%s", unixID);
        filter = match_buf;
        kind = Kind::Login;
    } else if (dispNO) {
        if (std::strlen(dispNO) > kMatchBuf - sizeof "display." - 1) {
            report(VK_ERR_INVALID_ARGS, "display number too long");
            return 1;
        }
        std::snprintf(match_buf, sizeof match_buf, "display.%s", dispNO);
        filter = match_buf;
        kind = Kind::Display;
    } else if (tokenID || PXname) {
        filter = tokenID;
        kind = Kind::Token;
    }

    // A listing only reads its records, and holds every one of them until
    // they are sorted: their texts may be packed.
    vk_packUserSessionTexts(oper == VK_ACT_PRINT || oper == VK_ACT_LIST);
    int rc = vk_setUserSessionEnt(filter, nullptr);
    if (rc != 0) {
        report(rc, error_string(rc));
        vk_free_array(ltarray);
        ltarray = nullptr;
        return 1;
    }

    // The records that pass are ordered by raw token, and among equal raw
    // tokens the one that came last first: the order of linking them one by
    // one in front of their equals. One stable sort of the records taken
    // last first gives it, without a list node and a key per record.
    std::vector<Session> found;
    vk_UserSession_t *got = nullptr;
    while ((rc = vk_getUserSessionEnt(&got)) == 0) {
        Session s(got);
        if (!passes(kind, s.get(), tokenID, PXname, dispNO)) continue;
        if (!s->rawtoken) {
            rc = VK_ERR_INVALID_ARGS;  // no key to order the record by
            break;
        }
        try {
            found.push_back(std::move(s));
        } catch (const std::bad_alloc &) {
            rc = VK_ERR_NO_MEMORY;
            break;
        }
    }
    vk_endUserSessionEnt();
    vk_free_array(ltarray);
    ltarray = nullptr;

    std::reverse(found.begin(), found.end());
    try {
        vk::stable_sort_by_text(found, [](const Session &s) { return s->rawtoken; });
    } catch (const std::bad_alloc &) {
        std::stable_sort(found.begin(), found.end(), [](const Session &a, const Session &b) {
            return std::strcmp(a->rawtoken, b->rawtoken) < 0;
        });
    }

    if (found.empty()) {
        report(VK_ERR_NOT_FOUND, "No session found!");
        return 1;
    }
    if (rc != VK_ERR_NO_MORE_DATA) return 1;
    return act_on(oper, found);
}

void send_message(const vk_UserSession_t *session) {
    if (session) vk::notify_suspension(session->dispNo);
}
