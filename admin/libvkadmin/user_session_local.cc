// Discovery of this host's sessions from their session files, and the
// completion of their Unix users and suspended state from the process table.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <pwd.h>
#include <string>
#include <unordered_map>
#include <vector>

#include "session_files.h"
#include "text_order.h"
#include "user_session_internal.h"
#include "vkcxx.h"

namespace {

using Session = std::unique_ptr<vk_UserSession_t, decltype(&vk_freeUserSessionEnt)>;
using SessionProc = std::unique_ptr<vk_SessionProc_t, decltype(&free_sessionProc)>;

// Directory entries whose names begin with "." are never session files.
template <typename F>
bool for_each_entry(const char *dir, F &&on_name) {
    vk::Dir d(::opendir(dir));
    if (!d) return false;
    while (struct dirent *e = ::readdir(d.get())) {
        if (e->d_name[0] == '.') continue;
        if (!on_name(e->d_name)) break;
    }
    return true;
}

// A session name is a single path component: a name from an option or a
// session file that would lead out of the session directories is refused.
bool plain_name(const char *name) {
    return name && *name && !std::strchr(name, '/');
}

// Reads DIR + NAME into a record for `host`, and its token set. -19
// (absent or incomplete) is passed on for the caller to decide. `v` is
// scratch space, kept from file to file.
int read_display(const char *dir, const char *name, const char *host, Session *out,
                 DisplayValues &v) {
    char path[kPathBuf];
    if (!plain_name(name) || !join_path(path, dir, name)) return VK_ERR_NO_FILE;
    int rc = read_display_values(path, &v);
    if (rc != VK_OK) return rc;
    const SessionText texts[] = {{&vk_UserSession_t::tokenName, v.token.c_str()},
                                 {&vk_UserSession_t::rawtoken, v.raw.c_str()},
                                 {&vk_UserSession_t::dispNo, v.display.c_str()},
                                 {&vk_UserSession_t::server, host ? host : ""},
                                 {&vk_UserSession_t::sessionType, v.type.c_str()}};
    // A listing's record gets its texts in one block at once.
    out->reset(new_packed_session({texts[0], texts[1], texts[2], texts[3], texts[4]}));
    if (*out) return VK_OK;
    out->reset(allocate_userSession());
    vk_UserSession_t *rec = out->get();
    if (!rec) return VK_ERR_NO_MEMORY;
    for (const SessionText &t : texts) {
        rec->*t.field = ::strdup(t.text);
        if (!(rec->*t.field)) return VK_ERR_NO_MEMORY;
    }
    return VK_OK;
}

// Reads the session proc file of one directory entry; -19 when the entry is
// not a live session.
int read_session_proc(const char *name, SessionProc *out) {
    vk_SessionProc_t *sp = nullptr;
    int rc = read_live_sessionfile(name, &sp);
    out->reset(sp);
    return rc;
}

// The login's numeric user id as text, at most 9 digits.
int user_id_text(const char *login, std::string *uid) {
    if (std::isdigit(static_cast<unsigned char>(login[0]))) {
        *uid = login;
    } else {
        struct passwd *pw = ::getpwnam(login);
        if (!pw) return VK_ERR_NOT_FOUND;
        *uid = std::to_string(pw->pw_uid);
    }
    return uid->size() > 9 ? VK_ERR_INVALID_ARGS : VK_OK;
}

// The login names of numeric user ids, looked up once per user id: a host
// with thousands of sessions has far fewer users, and every look-up may
// read the whole password database.
class LoginNames {
  public:
    // The login name of a numeric user id, when the account exists. A text
    // that is not a plain number keeps its text: it must not resolve to
    // uid 0.
    char *login_of(char *uid) {
        if (!*uid || !is_numeric(uid) || std::strlen(uid) > 10) return uid;
        unsigned long n = std::strtoul(uid, nullptr, 10);
        if (n > 0xFFFFFFFEul) return uid;
        auto [it, fresh] = names_.try_emplace(static_cast<uid_t>(n));
        if (fresh) {
            struct passwd *pw = ::getpwuid(static_cast<uid_t>(n));
            if (pw) it->second = pw->pw_name;
        }
        if (!it->second) return uid;
        char *name = ::strdup(it->second->c_str());
        if (!name) return uid;
        std::free(uid);
        return name;
    }

  private:
    std::unordered_map<uid_t, std::optional<std::string>> names_;
};

// Reads DIR + NAME into a record for `host`, as local_one does before it
// inserts: -4 when the file is absent or incomplete.
int read_one(const char *name, const char *host, const char *dir, Session *rec) {
    DisplayValues v;
    int rc = read_display(dir, name, host, rec, v);
    return rc == VK_ERR_NO_FILE ? VK_ERR_NOT_FOUND : rc;
}

// The records of one scan, in the order found, linked into the list at the
// end of the scan in one pass; released unless they were linked.
struct Found {
    std::vector<vk_UserSession_t *> records;
    ~Found() {
        for (vk_UserSession_t *s : records) vk_freeUserSessionEnt(s);
    }
    bool add(Session &rec) {
        try {
            records.push_back(rec.get());
        } catch (const std::bad_alloc &) {
            return false;
        }
        rec.release();
        return true;
    }
};

}  // namespace

int local_one(const char *name, const char *host, const char *dir, vk_LinkedList_t **list) {
    if (!name || !dir || !list) return VK_ERR_INVALID_ARGS;
    Session rec(nullptr, &vk_freeUserSessionEnt);
    int rc = read_one(name, host, dir, &rec);
    if (rc != VK_OK) return rc;
    return insert_cache(rec.release(), list);
}

int local_all(const char *token, const char *host, vk_LinkedList_t **list) {
    if (!list) return VK_ERR_INVALID_ARGS;
    std::string wanted;
    if (token) wanted = std::string(",") + token + ",";

    int rc = VK_ERR_NOT_FOUND;
    Found found;
    DisplayValues values;
    bool opened = for_each_entry(VK_DISPLAYS_DIR, [&](const char *name) {
        Session rec(nullptr, &vk_freeUserSessionEnt);
        int r = read_display(VK_DISPLAYS_DIR, name, host, &rec, values);
        if (r == VK_ERR_NO_FILE) return true;  // vanished, incomplete or unnamed: skipped
        if (r != VK_OK) {
            rc = r;
            return false;
        }
        // The token must be one whole member of the comma-separated set.
        if (token &&
            !is_substring((std::string(",") + values.token_set + ",").c_str(), wanted.c_str()))
            return true;
        if (!found.add(rec)) {
            rc = VK_ERR_NO_MEMORY;
            return false;
        }
        send_status_ahead();
        return true;
    });
    if (!opened) {
        dprintf("vk_setUserSessionEnt(): cannot open display directory");
        return VK_ERR_FILE_ACCESS;
    }
    if (rc != VK_ERR_NOT_FOUND) {
        free_cache(list);
        return rc;
    }
    if (found.records.empty()) return VK_ERR_NOT_FOUND;
    return insert_cache_all(found.records, list);
}

int searchbyunix(const char *login, const char *host, vk_LinkedList_t **list) {
    if (!login || !*login || !list)
        return login && !*login ? VK_ERR_NOT_FOUND : VK_ERR_INVALID_ARGS;
    std::string uid;
    int rc = user_id_text(login, &uid);
    if (rc != VK_OK) return rc;

    rc = VK_ERR_NOT_FOUND;
    Found found;
    bool opened = for_each_entry(VK_SESSION_PROC_DIR, [&](const char *name) {
        SessionProc sp(nullptr, &free_sessionProc);
        int r = read_session_proc(name, &sp);
        if (r == VK_ERR_NO_FILE) return true;
        if (r != VK_OK) {
            rc = r;
            return false;
        }
        if (is_idling_session(name) == 1 || !sp->uid || uid != sp->uid) return true;
        Session rec(nullptr, &vk_freeUserSessionEnt);
        if (read_one(sp->xid, host, VK_DISPLAYS_DIR, &rec) != VK_OK || !found.add(rec)) {
            // The sessions found so far go too: the search as a whole finds
            // nothing.
            rc = VK_ERR_NOT_FOUND;
            for (vk_UserSession_t *s : std::exchange(found.records, {})) vk_freeUserSessionEnt(s);
            free_cache(list);
            return false;
        }
        send_status_ahead();
        return true;
    });
    if (!opened) {
        dprintf("vk_setUserSessionEnt(): cannot sesion information directory");
        return VK_ERR_FILE_ACCESS;
    }
    if (rc != VK_ERR_NOT_FOUND) {
        free_cache(list);
        return rc;
    }
    if (found.records.empty()) return VK_ERR_NOT_FOUND;
    // A failure to link counts as a failed look-up of a session, as above.
    return insert_cache_all(found.records, list) == VK_OK ? VK_OK : VK_ERR_NOT_FOUND;
}

void join_session_procs(const std::vector<vk_UserSession_t *> &index, std::deque<LiveProc> &procs) {
    // Ascending by display, and among the files of one display the one read
    // last first, as the index orders its records of one display. Sorted by
    // reference: a stable sort of the files themselves would take a second
    // copy of them all.
    std::vector<LiveProc *> order;
    order.reserve(procs.size());
    for (auto it = procs.rbegin(); it != procs.rend(); ++it) order.push_back(&*it);
    vk::stable_sort_by_text(order, [](const LiveProc *p) { return p->xid.c_str(); });
    // One merge pass over the two.
    auto p = order.begin();
    for (auto x = index.begin(); x != index.end() && p != order.end(); ++x) {
        vk_UserSession_t *s = *x;
        while (p != order.end() && std::strcmp((*p)->xid.c_str(), s->dispNo) < 0) ++p;
        if (p == order.end() || std::strcmp((*p)->xid.c_str(), s->dispNo) != 0) continue;
        if (pack_session_texts(s, {{&vk_UserSession_t::unixID, (*p)->uid.get()}}))
            (*p)->uid.reset();
        else
            replace_session_text(s, &vk_UserSession_t::unixID, (*p)->uid.release());
        if ((*p)->pid >= 0) {
            char pid[16];
            *std::to_chars(pid, pid + sizeof pid - 1, (*p)->pid).ptr = '\0';
            s->state |= cached_process_state(pid);
        }
        if ((*p)->started >= 0) note_session_start(s, (*p)->started);
        ++p;
    }
}

int set_unix(vk_LinkedList_t **list) {
    note_session_start(nullptr, 0);
    if (displayIndex.empty()) return VK_OK;

    // What the join needs of each live session proc file, in directory
    // order: a few dozen bytes per session rather than a record and a list
    // node for every one of thousands, in a deque that grows without
    // copying what it holds.
    std::deque<LiveProc> procs;
    LoginNames logins;
    int rc = VK_ERR_NOT_FOUND;  // stays so when no file was read
    bool opened = for_each_entry(VK_SESSION_PROC_DIR, [&](const char *name) {
        LiveProc lp;
        int r = read_live_proc(name, &lp);
        if (r == VK_ERR_NO_FILE) return true;
        if (r != VK_OK) {
            rc = r;
            return false;
        }
        if (lp.uid) {
            if (is_idling_session(name) == 1)
                lp.uid.reset();
            else
                lp.uid.reset(logins.login_of(lp.uid.release()));
        }
        try {
            procs.push_back(std::move(lp));
        } catch (const std::bad_alloc &) {
            rc = VK_ERR_NO_MEMORY;
            return false;
        }
        rc = VK_OK;
        return true;
    });
    if (!opened) {
        dprintf("vk_setUserSessionEnt(): cannot access session information directory");
        return VK_ERR_FILE_ACCESS;
    }
    if (rc != VK_OK && rc != VK_ERR_NO_FILE && rc != VK_ERR_NOT_FOUND) {
        free_cache(list);
        return rc;
    }

    if (init_processState() != VK_OK) {
        reset_processState();
        free_cache(list);
        dprintf("vk_setUserSessionEnt(): init_processState() failed!");
        return VK_ERR_INTERNAL;
    }
    std::vector<vk_UserSession_t *> index;
    try {
        index = display_order();
    } catch (const std::bad_alloc &) {
        reset_processState();
        free_cache(list);
        return VK_ERR_NO_MEMORY;
    }
    join_session_procs(index, procs);
    reset_processState();
    return VK_OK;
}

int verify_session(const vk_UserSession_t *session) {
    if (!session || !session->dispNo) return VK_ERR_INVALID_ARGS;
    free_cache(&tmpList);
    int rc = local_one(session->dispNo, session->server, VK_DISPLAYS_DIR, &tmpList);
    if (rc == VK_OK) rc = set_unix(&tmpList);
    if (rc != VK_OK) {
        free_cache(&tmpList);
        return rc;
    }
    // A field is compared only when both sides have it; the fresh value must
    // begin with the given one.
    const vk_UserSession_t *fresh = static_cast<vk_UserSession_t *>(tmpList->node);
    for (auto field :
         {&vk_UserSession_t::tokenName, &vk_UserSession_t::rawtoken, &vk_UserSession_t::unixID,
          &vk_UserSession_t::dispNo, &vk_UserSession_t::server, &vk_UserSession_t::sessionType}) {
        const char *given = session->*field, *now = fresh->*field;
        if (given && now && std::strncmp(now, given, std::strlen(given)) != 0) {
            rc = VK_ERR_NOT_FOUND;
            break;
        }
    }
    free_cache(&tmpList);
    return rc;
}

vk_SessionProc_t *allocate_sessionProc(void) {
    return static_cast<vk_SessionProc_t *>(std::calloc(1, sizeof(vk_SessionProc_t)));
}

void free_sessionProc(vk_SessionProc_t *sp) {
    if (!sp) return;
    for (char *t : {sp->xid, sp->uid, sp->pid, sp->program, sp->server_pid, sp->server_prog})
        std::free(t);
    std::free(sp);
}
