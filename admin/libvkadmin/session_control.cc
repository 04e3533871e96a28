// Suspend, resume and terminate one session. A session of this host is
// first checked against its session files and the running programs; the
// action itself is done by the host's process tools and the session killer.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>
#include <unistd.h>

#include "pipe_readers.h"
#include "session_files.h"
#include "user_session_internal.h"
#include "vkcxx.h"

namespace {

constexpr size_t kCmdBuf = 100;
constexpr size_t kLineBuf = 1024;
constexpr const char *kSessionKiller = "/opt/KELWvk/lib/vksessionkill";

// A text A is accepted for a text B when B begins with A; an absent side
// passes.
bool accepted(const char *a, const char *b) {
    return !a || !b || std::strncmp(b, a, std::strlen(a)) == 0;
}

bool is_default_type(const char *type) {
    return type && strcasecmp(type, "default") == 0;
}

const char *oper_word(int oper) {
    switch (oper) {
        case VK_OPER_RESUME:
            return "resume";
        case VK_OPER_SUSPEND:
            return "suspend";
        default:
            return "terminate";
    }
}

// A process id as this host writes it: digits only, and not 0. Anything
// else names no process and never reaches a command line or kill(). (Its
// length is for the command's buffer to judge.)
bool plain_pid(const char *pid) {
    return pid && *pid && is_numeric(pid) && pid[std::strspn(pid, "0")] != '\0';
}

// The facts of one process, released on scope exit.
struct ProcFacts {
    char *uid = nullptr, *comm = nullptr, *pid = nullptr;
    int state = 0;
    ProcFacts() = default;
    ProcFacts(const ProcFacts &) = delete;
    ProcFacts &operator=(const ProcFacts &) = delete;
    ~ProcFacts() {
        std::free(uid);
        std::free(comm);
        std::free(pid);
    }
    int query(const char *of) {
        if (!plain_pid(of)) return VK_ERR_NOT_FOUND;
        return get_processState(of, &uid, &state, &comm, &pid);
    }
};

void chop(char *line) {
    size_t n = std::strlen(line);
    if (n) line[n - 1] = '\0';
}

// Reads the next piece of a line, at most kLineBuf - 1 bytes, as fgets
// would, but byte by byte so that a NUL byte inside cannot hide where the
// piece ends. `ended` tells whether the piece ends its line.
bool read_piece(std::FILE *f, char (&buf)[kLineBuf], size_t *len, bool *ended) {
    size_t n = 0;
    int c = EOF;
    while (n < kLineBuf - 1 && (c = std::getc(f)) != EOF) {
        buf[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[n] = '\0';
    *len = n;
    *ended = c == '\n' || c == EOF;
    if (n == kLineBuf - 1 && c != '\n') {
        // Full without its newline: the line goes on unless the output ends here.
        int next = std::getc(f);
        *ended = next == EOF;
        if (next != EOF) std::ungetc(next, f);
    }
    return n > 0;
}

// Column of a line's text: advances by two while a blank stands there.
size_t text_column(const char *line, size_t start) {
    size_t len = std::strlen(line), col = start;
    while (col < len && line[col] == ' ') col += 2;
    return col;
}

int operate(int oper, vk_UserSession_t *session) {
    if (!session) return VK_ERR_INVALID_ARGS;
    char host[256] = {0};
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    if (session->server && strcasecmp(session->server, host) != 0)
        return remote_operation(oper, session);
    int rc = verify_session(session);
    if (rc != VK_OK) return rc;
    return manage_session(oper, session);
}

}  // namespace

int read_process_tree(std::FILE *tree, const char *pid, std::string *pids) {
    if (!tree || !pid || !pids) return VK_ERR_INVALID_ARGS;
    const std::string key = std::string(pid) + " ";
    int rc = VK_ERR_NOT_FOUND;
    size_t own_col = 0;
    bool found = false, tail = false;
    char line[kLineBuf] = {};
    size_t len = 0;
    bool ended = false;
    while (read_piece(tree, line, &len, &ended)) {
        // A line longer than the buffer arrives in pieces. Only its first
        // piece begins with the indentation and a pid; the rest is the tail
        // of a command line, which whoever runs the process writes, and it
        // must never be taken for a process of the tree.
        const bool skip = tail;
        tail = !ended;
        if (skip) continue;
        if (len) line[len - 1] = '\0';
        size_t col;
        if (!found) {
            // Ancestors come first; they are passed over.
            col = text_column(line, 0);
            if (std::strncmp(line + col, key.c_str(), key.size()) != 0) continue;
            own_col = col;
            found = true;
        } else {
            if (std::strlen(line) < own_col + 2) continue;
            col = text_column(line, own_col + 2);
        }
        // The pid runs to the next blank; a line without one is not a
        // process line, and only a plain number is put on the command line.
        const char *start = line + col;
        const char *blank = std::strchr(start, ' ');
        if (!blank) continue;
        std::string id(start, blank);
        if (!plain_pid(id.c_str())) continue;
        *pids += ' ';
        *pids += id;
        rc = VK_OK;
    }
    return rc;
}

int exec_session(int oper, const char *pid) {
    if (!plain_pid(pid)) return VK_ERR_NOT_FOUND;
    char cmd[kCmdBuf];
    int n = std::snprintf(cmd, sizeof cmd, "/usr/proc/bin/ptree %s", pid);
    if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) return VK_ERR_INTERNAL;

    vk::Pipe tree(cmd, "r");
    if (!tree) return VK_ERR_INTERNAL;
    std::string pids;
    int rc = read_process_tree(tree.get(), pid, &pids);
    if (rc == VK_OK && oper != VK_OPER_SUSPEND && oper != VK_OPER_RESUME)
        return VK_ERR_INVALID_ARGS;
    int code = vk::failed_exit_code(tree.close());
    if (code != 0) {
        dprintf("vk_processState(): vkrcmd failed (%d)", code);
        if (rc == VK_OK) rc = VK_ERR_INTERNAL;
    }
    if (rc != VK_OK) return rc;

    std::string command = oper == VK_OPER_SUSPEND ? "/usr/proc/bin/pstop" : "/usr/proc/bin/prun";
    command += pids;
    command += " 2>&-";
    vk::Pipe action(command.c_str(), "r");
    if (!action) return VK_ERR_INTERNAL;
    action.close();
    return VK_OK;
}

int terminate_session(const vk_UserSession_t *session, const char *pid) {
    if (!session || !session->dispNo) return VK_ERR_INVALID_ARGS;
    if (!is_default_type(session->sessionType) && pid && *pid) {
        // strtol holds a number too large for any process at LONG_MAX.
        long n = plain_pid(pid) ? std::strtol(pid, nullptr, 10) : 0;
        if (n <= 0 || n > INT_MAX) return VK_ERR_NOT_FOUND;
        if (::kill(static_cast<pid_t>(n), SIGTERM) != 0) {
            dprintf("terminate_session: failed (%s)", std::strerror(errno));
            return VK_ERR_INTERNAL;
        }
        return VK_OK;
    }
    // The display number reaches a shell: only a plain word is let through.
    if (!is_shell_safe(session->dispNo)) return VK_ERR_INVALID_ARGS;
    char cmd[kCmdBuf];
    int n = std::snprintf(cmd, sizeof cmd, "%s display %s", kSessionKiller, session->dispNo);
    if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) return VK_ERR_INTERNAL;
    vk::Pipe killer(cmd, "r");
    if (!killer) return VK_ERR_INTERNAL;
    int rc = VK_OK;
    char line[kLineBuf];
    if (std::fgets(line, sizeof line, killer.get())) {
        chop(line);
        dprintf("terminate_session() failed: %s\n", line);
        rc = VK_ERR_INTERNAL;
    }
    int code = vk::failed_exit_code(killer.close());
    if (code != 0) {
        dprintf("vk_setUserSessionEnt(): terminate_session failed (%d)", code);
        rc = VK_ERR_INTERNAL;
    }
    return rc;
}

int manage_session(int oper, const vk_UserSession_t *session) {
    if (!session || oper < VK_OPER_RESUME || oper > VK_OPER_TERMINATE) return VK_ERR_INVALID_ARGS;
    const bool terminate = oper == VK_OPER_TERMINATE;
    const char *disp = session->dispNo;

    std::unique_ptr<vk_SessionProc_t, decltype(&free_sessionProc)> sproc(nullptr,
                                                                         &free_sessionProc);
    ProcFacts client;
    if (valid_procfile(disp) != 1) {
        if (!terminate) return VK_ERR_NO_FILE;
    } else {
        char path[kPathBuf];
        int n = std::snprintf(path, sizeof path, "%s%s", VK_SESSION_PROC_DIR, disp);
        vk_SessionProc_t *sp = nullptr;
        int rc = n >= 0 && static_cast<size_t>(n) < sizeof path ? parse_sessionfile(path, &sp)
                                                                : VK_ERR_NO_FILE;
        sproc.reset(sp);
        if (rc != VK_OK) {
            dprintf("manage_session(): failed to process proc file for display %s.", disp);
            if (!(terminate && rc == VK_ERR_NO_FILE)) return rc;
        } else {
            rc = client.query(sproc->pid);
            if (rc != VK_OK) return rc;
        }
    }

    int rc = VK_OK;
    if (!terminate) {
        if (!accepted(client.comm, sproc->program)) {
            dprintf(
                "manage_session(): failed to resume/suspend session, client program name "
                "differs (display=%s)",
                sproc->xid);
            return VK_ERR_INTERNAL;
        }
    } else if (sproc && !is_default_type(session->sessionType)) {
        ProcFacts server;
        if (server.query(sproc->server_pid) != VK_OK) {
            dprintf("manage_session(): failed to get process state for display %s.", sproc->xid);
            return VK_ERR_INTERNAL;
        }
        if (!accepted(server.comm, sproc->server_prog)) {
            rc = VK_ERR_INTERNAL;
            char real[PATH_MAX];
            if (!sproc->server_prog || !::realpath(sproc->server_prog, real)) {
                dprintf("manage_session(): failed to resolve path for display %s", sproc->xid);
            } else if (accepted(real, "/opt/KELWvk/lib/vkxkel") &&
                       accepted(server.comm, "/usr/marlode/bin/Xkel")) {
                rc = VK_OK;
            } else {
                dprintf(
                    "manage_session(): failed to terminate session, server program name "
                    "differs (display=%s) ",
                    sproc->xid);
            }
        }
        if (rc != VK_OK) return rc;
    }

    const bool stopped = sproc && (client.state & VK_PROC_STOPPED);
    if (oper == VK_OPER_RESUME && stopped) {
        rc = exec_session(VK_OPER_RESUME, sproc->pid);
    } else if (oper == VK_OPER_SUSPEND && !stopped) {
        rc = exec_session(VK_OPER_SUSPEND, sproc->pid);
    } else if (terminate) {
        if (stopped) {
            rc = exec_session(VK_OPER_RESUME, sproc->pid);
            if (rc != VK_OK) {
                dprintf(
                    "manage_session(): failed to resume suspended session before "
                    "termination (%s)",
                    vk_err2str(rc));
                return rc;
            }
        }
        rc = terminate_session(session, sproc ? sproc->server_pid : nullptr);
    }
    if (rc != VK_OK)
        dprintf("manage_session(): failed to %s session for display %s (%s)", oper_word(oper),
                disp ? disp : "Unknown", vk_err2str(rc));
    return rc;
}

int vk_suspendUserSession(vk_UserSession_t *session) {
    return operate(VK_OPER_SUSPEND, session);
}
int vk_resumeUserSession(vk_UserSession_t *session) {
    return operate(VK_OPER_RESUME, session);
}
int vk_terminateUserSession(vk_UserSession_t *session) {
    return operate(VK_OPER_TERMINATE, session);
}
