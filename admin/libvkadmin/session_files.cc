// Readers of the session files that the session starter writes for each X
// display: the display file (and its copy per current token), the session
// proc file and the idle marker.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "session_files.h"
#include "user_session_internal.h"
#include "vkcxx.h"

namespace {

// A line is read 999 characters at a time; the rest of a longer line comes
// as a line of its own.
constexpr size_t kLineBuf = 1000;
constexpr std::string_view kTokenPrefix = "DeruRevaz.xx.";
constexpr const char *kIdleDir = "/var/opt/KELWvk/idle/";

// Texts hashed and compared as views, so that a look-up by a display's
// name makes no string of it: a listing looks up every display.
struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;
template <typename V>
using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

// What one enumeration has learnt of the session files (SessionFileMemo).
struct Memo {
    // The session directories, held open: a file is then reached from its
    // directory instead of by walking the whole path every time. -1 where a
    // directory could not be opened (its files are then reached by path,
    // and fail as before).
    vk::Fd displays, procs, idle;
    TextMap<int> idle_answers;
    // Whether idle_answers holds every marker of the idle directory as it
    // was listed once at the start, so that a display not in it is not
    // idle. Markers that a listing cannot vouch for (symbolic links, entries
    // of unknown type) are in unsure and are examined one by one.
    bool idle_listed = false;
    TextSet unsure;
    // The modification second of each display file read, by name, in the
    // order read, and sorted by name when asked. Names of up to 15
    // characters (every display number) are kept in place, without an
    // allocation each; a longer name is not remembered, and its file is
    // examined again when asked.
    struct Mtime {
        std::array<char, 16> name;
        time_t mtime;
    };
    std::deque<Mtime> display_mtimes;
    // What display_mtimes held when last asked, sorted by name for the
    // look-ups; the deque grows without copies while the files are read.
    std::vector<Mtime> sorted_mtimes;
};
Memo *memo = nullptr;

// The held directory that `path` lies in, and the rest of the path.
int held_dir(const char *path, const char **rest) {
    if (!memo) return AT_FDCWD;
    for (auto [dir, fd] : {std::pair{std::string_view(VK_DISPLAYS_DIR), memo->displays.get()},
                           std::pair{std::string_view(VK_SESSION_PROC_DIR), memo->procs.get()}}) {
        if (fd >= 0 && std::string_view(path).starts_with(dir) && path[dir.size()]) {
            *rest = path + dir.size();
            return fd;
        }
    }
    return AT_FDCWD;
}

int open_session_file(const char *path) {
    const char *rest = path;
    int dir = held_dir(path, &rest);
    return ::openat(dir, rest, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

int stat_path(const char *path, struct stat *st) {
    const char *rest = path;
    int dir = held_dir(path, &rest);
    return ::fstatat(dir, rest, st, 0);
}

// The name of a display file's path, when it lies in the display directory.
const char *display_name(const char *path) {
    std::string_view dir(VK_DISPLAYS_DIR);
    return std::string_view(path).starts_with(dir) ? path + dir.size() : nullptr;
}

void remember_mtime(const char *path, const struct stat &st) {
    const char *name = memo ? display_name(path) : nullptr;
    if (!name) return;
    Memo::Mtime m{};
    size_t n = std::strlen(name);
    if (n >= m.name.size()) return;
    std::memcpy(m.name.data(), name, n);
    m.mtime = st.st_mtim.tv_sec;
    try {
        memo->display_mtimes.push_back(m);
    } catch (const std::bad_alloc &) {
        // Not remembered: valid_procfile then looks at the file itself.
    }
}

bool remembered_mtime(const char *name, time_t *mtime) {
    if (!memo || std::strlen(name) >= Memo::Mtime{}.name.size()) return false;
    auto &all = memo->sorted_mtimes;
    // Any one order of the names (padded with NULs) serves the look-ups: they
    // are compared as two numbers each, not character by character.
    auto less = [](const Memo::Mtime &a, const Memo::Mtime &b) {
        uint64_t x[2], y[2];
        std::memcpy(x, a.name.data(), sizeof x);
        std::memcpy(y, b.name.data(), sizeof y);
        return x[0] != y[0] ? x[0] < y[0] : x[1] < y[1];
    };
    if (!memo->display_mtimes.empty()) {
        try {
            all.reserve(all.size() + memo->display_mtimes.size());
        } catch (const std::bad_alloc &) {
            return false;  // the file is examined again
        }
        all.insert(all.end(), memo->display_mtimes.begin(), memo->display_mtimes.end());
        std::deque<Memo::Mtime>().swap(memo->display_mtimes);
        // Stable: of a file read twice, the later reading is the one after.
        std::stable_sort(all.begin(), all.end(), less);
    }
    Memo::Mtime key{};
    std::memcpy(key.name.data(), name, std::strlen(name));
    auto it = std::upper_bound(all.begin(), all.end(), key, less);
    if (it == all.begin() || less(*std::prev(it), key)) return false;
    *mtime = std::prev(it)->mtime;
    return true;
}

int open_failure(int err) {
    if (err == ENOENT) return VK_ERR_NO_FILE;
    if (err == EACCES) return VK_ERR_NO_PERMISSION;
    return VK_ERR_FILE_ACCESS;
}

// Calls `on_line(key_value_line)` for every line of `path`, without its
// newline. Answers 0 or the code of the failed open.
//
// Only a regular file is a session file. Opening a FIFO for reading would
// wait for a writer forever, and a device or a directory is read without
// end or not at all; such an entry counts as not existing. The file is
// opened without waiting and examined through the descriptor, so that it
// cannot be swapped for something else between the test and the reading.
//
// `admit`, when given, sees the file's status before anything is read and
// may refuse the file with a code of its own.
using Admit = std::function<int(const struct stat &)>;
template <typename F>
int for_each_line(const char *path, F &&on_line, struct stat *seen = nullptr,
                  const Admit *admit = nullptr) {
    vk::Fd fd(open_session_file(path));
    if (!fd) return open_failure(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return open_failure(errno);
    if (admit) {
        if (int rc = (*admit)(st)) return rc;
    }
    if (!S_ISREG(st.st_mode)) return VK_ERR_NO_FILE;
    if (seen) *seen = st;
    // A regular file never makes a read wait, so O_NONBLOCK may stay. The
    // file is read through a buffer of our own rather than stdio: a host
    // with thousands of sessions reads thousands of these small files per
    // listing, and a stream would add an allocation and system calls to each.
    char buf[4096];
    size_t have = 0, at = 0;
    bool end = false;
    // Once the size that fstat gave has been read, the file is at its end;
    // another read would only say so. (A size of 0 proves nothing: some
    // files report none and have content.)
    off_t left = st.st_size > 0 ? st.st_size : -1;
    char line[kLineBuf];
    for (;;) {
        // One piece as fgets into kLineBuf bytes gives it: up to 999
        // characters, ending after the first newline.
        size_t n = 0;
        bool newline = false;
        while (n < sizeof line - 1 && !newline) {
            if (at == have) {
                if (end) break;
                ssize_t got = left == 0 ? 0 : ::read(fd.get(), buf, sizeof buf);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) {
                    end = true;
                    break;
                }
                have = static_cast<size_t>(got);
                at = 0;
                if (left > 0) left = got < left ? left - got : 0;
            }
            // Up to the newline, or as much as the piece and the buffer hold.
            size_t room = std::min(sizeof line - 1 - n, have - at);
            const void *nl = std::memchr(buf + at, '\n', room);
            size_t take =
                nl ? static_cast<size_t>(static_cast<const char *>(nl) - (buf + at)) + 1 : room;
            std::memcpy(line + n, buf + at, take);
            n += take;
            at += take;
            newline = nl != nullptr;
        }
        if (n == 0) break;
        // A NUL byte ends the line's text. Only a newline is dropped: a last
        // line without one keeps its text.
        if (const void *nul = std::memchr(line, '\0', n))
            n = static_cast<size_t>(static_cast<const char *>(nul) - line);
        if (n && line[n - 1] == '\n') --n;
        if (!on_line(std::string_view(line, n))) return VK_ERR_NO_MEMORY;
    }
    return VK_OK;
}

// If `line` starts with `key` (which ends in "="), stores the rest in
// `*field`, replacing an earlier value.
void take(std::string_view line, std::string_view key, std::string *field, int mark, int *seen,
          std::string_view strip_prefix = {}) {
    if (!line.starts_with(key)) return;
    std::string_view v = line.substr(key.size());
    if (!strip_prefix.empty() && v.starts_with(strip_prefix)) v.remove_prefix(strip_prefix.size());
    field->assign(v);
    *seen |= mark;
}

}  // namespace

int read_display_values(const char *path, DisplayValues *v) {
    if (!path || !v) return VK_ERR_INVALID_ARGS;
    int seen = 0;
    struct stat st {};
    int rc;
    try {
        rc = for_each_line(
            path,
            [&](std::string_view l) {
                take(l, "TOKEN=", &v->token, 1, &seen, kTokenPrefix);
                take(l, "INSERT_TOKEN=", &v->raw, 2, &seen);
                take(l, "DISPLAY=", &v->display, 4, &seen);
                take(l, "TOKEN_SET=", &v->token_set, 8, &seen);
                take(l, "SESSION_TYPE=", &v->type, 16, &seen);
                return true;
            },
            &st);
    } catch (const std::bad_alloc &) {
        rc = VK_ERR_NO_MEMORY;
    }
    if (rc != VK_OK) return rc;
    remember_mtime(path, st);
    return seen == 31 ? VK_OK : VK_ERR_NO_FILE;  // an incomplete file counts as not existing
}

int parse_displayfile(const char *path, vk_UserSession_t **rec, char **tokenset) {
    if (rec) *rec = nullptr;
    if (tokenset) *tokenset = nullptr;
    if (!path || !rec || !tokenset) return VK_ERR_INVALID_ARGS;
    std::unique_ptr<vk_UserSession_t, decltype(&vk_freeUserSessionEnt)> s(allocate_userSession(),
                                                                          &vk_freeUserSessionEnt);
    if (!s) return VK_ERR_NO_MEMORY;
    DisplayValues v;
    int rc = read_display_values(path, &v);
    if (rc != VK_OK) return rc;
    vk::CStr set(::strdup(v.token_set.c_str()));
    s->tokenName = ::strdup(v.token.c_str());
    s->rawtoken = ::strdup(v.raw.c_str());
    s->dispNo = ::strdup(v.display.c_str());
    s->sessionType = ::strdup(v.type.c_str());
    if (!set || !s->tokenName || !s->rawtoken || !s->dispNo || !s->sessionType)
        return VK_ERR_NO_MEMORY;
    *tokenset = set.release();
    *rec = s.release();
    return VK_OK;
}

namespace {

// The fields of a session proc file that anyone reads.
enum class ProcKey { Xid, Pid, Program, ServerPid, ServerProg };

// Hands every line of a session proc file that sets a field to `on_uid`
// (the user id with the blanks around it dropped; null for a value of only
// blanks, which is taken as no user id at all rather than as a failure that
// would end the whole enumeration) or `on_field`. Later lines replace
// earlier ones. -19 when XID, pid or program is missing.
template <typename Uid, typename Field>
int parse_proc_lines(const char *path, const Admit *admit, Uid &&on_uid, Field &&on_field) {
    static constexpr std::pair<std::string_view, ProcKey> kKeys[] = {
        {"XID=", ProcKey::Xid},
        {"pid=", ProcKey::Pid},
        {"program=", ProcKey::Program},
        {"server_pid=", ProcKey::ServerPid},
        {"server_prog=", ProcKey::ServerProg}};
    int seen = 0;
    int rc = for_each_line(
        path,
        [&](std::string_view l) {
            if (l.starts_with("uid=")) {
                std::string value(l.substr(4));
                on_uid(strip_leading_and_trailing_whitespace(value.c_str()));
                return true;
            }
            for (auto [key, which] : kKeys) {
                if (!l.starts_with(key)) continue;
                if (which <= ProcKey::Program) seen |= 1 << static_cast<int>(which);
                return on_field(which, l.substr(key.size()));
            }
            return true;
        },
        nullptr, admit);
    if (rc != VK_OK) return rc;
    return seen == 7 ? VK_OK : VK_ERR_NO_FILE;
}

int parse_sessionfile_if(const char *path, vk_SessionProc_t **out, const Admit *admit) {
    if (out) *out = nullptr;
    if (!path || !out) return VK_ERR_INVALID_ARGS;
    std::unique_ptr<vk_SessionProc_t, decltype(&free_sessionProc)> sp(allocate_sessionProc(),
                                                                      &free_sessionProc);
    if (!sp) return VK_ERR_NO_MEMORY;
    int rc = parse_proc_lines(
        path, admit, [&](char *uid) { std::free(std::exchange(sp->uid, uid)); },
        [&](ProcKey which, std::string_view v) {
            char *vk_SessionProc_t::*field[] = {
                &vk_SessionProc_t::xid, &vk_SessionProc_t::pid, &vk_SessionProc_t::program,
                &vk_SessionProc_t::server_pid, &vk_SessionProc_t::server_prog};
            char *copy = ::strndup(v.data(), v.size());
            if (!copy) return false;
            std::free(std::exchange(sp.get()->*field[static_cast<int>(which)], copy));
            return true;
        });
    if (rc != VK_OK) return rc;
    *out = sp.release();
    return VK_OK;
}

int process_number(std::string_view text) {
    if (text.empty() || text.size() > 9 || (text[0] == '0' && text.size() > 1)) return -1;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

// Only what LiveProc keeps, without a record.
int parse_live_proc(const char *path, LiveProc *out, const Admit *admit) {
    LiveProc got;
    Admit noting;
    if (admit)
        noting = [&got, admit](const struct stat &st) {
            got.started = st.st_mtim.tv_sec;
            return (*admit)(st);
        };
    int rc = parse_proc_lines(
        path, admit ? &noting : nullptr, [&](char *uid) { got.uid.reset(uid); },
        [&](ProcKey which, std::string_view v) {
            try {
                if (which == ProcKey::Xid) got.xid = v;
                if (which == ProcKey::Pid) got.pid = process_number(v);
            } catch (const std::bad_alloc &) {
                return false;
            }
            return true;
        });
    if (rc == VK_OK) *out = std::move(got);
    return rc;
}

}  // namespace

int parse_sessionfile(const char *path, vk_SessionProc_t **out) {
    return parse_sessionfile_if(path, out, nullptr);
}

namespace {

// Builds DIR + NAME into a path of at most 99 characters; false when it does
// not fit.
bool session_path(char (&buf)[kPathBuf], const char *dir, const char *name) {
    return join_path(buf, dir, name);
}

// 1 present, -19 absent, 0 other failure (reported with `what`).
int stat_session_file(const char *path, const char *name, const char *what, struct stat *st) {
    if (stat_path(path, st) == 0) return 1;
    if (errno == ENOENT) return VK_ERR_NO_FILE;
    dprintf("valid_procfile(): failed to stat %s for display %s (%s)", what, name,
            std::strerror(errno));
    return 0;
}

}  // namespace

int valid_procfile(const char *name) {
    if (!name) return 0;
    char dpath[kPathBuf], ppath[kPathBuf];
    struct stat dst {
    }, pst{};
    if (!session_path(dpath, VK_DISPLAYS_DIR, name)) return 0;
    // A display file read in this enumeration was examined as it was read.
    if (!remembered_mtime(name, &dst.st_mtim.tv_sec)) {
        int rc = stat_session_file(dpath, name, "display file", &dst);
        if (rc != 1) return rc;
    }
    if (!session_path(ppath, VK_SESSION_PROC_DIR, name)) return 0;
    int rc = stat_session_file(ppath, name, "proc_file", &pst);
    if (rc != 1) return rc;
    return dst.st_mtim.tv_sec <= pst.st_mtim.tv_sec ? 1 : 0;
}

namespace {

// Reads the session proc file of `name` with `parse(path, admit)` when it is
// live: not older than its display file. -19 when it is not a live
// session's file.
template <typename Parse>
int read_if_live(const char *name, Parse &&parse) {
    char dpath[kPathBuf], ppath[kPathBuf];
    if (!name || !session_path(dpath, VK_DISPLAYS_DIR, name) ||
        !session_path(ppath, VK_SESSION_PROC_DIR, name))
        return VK_ERR_NO_FILE;
    time_t display_time = 0;
    if (!remembered_mtime(name, &display_time)) {
        struct stat dst {};
        if (stat_session_file(dpath, name, "display file", &dst) != 1) return VK_ERR_NO_FILE;
        display_time = dst.st_mtim.tv_sec;
    }
    // The session proc file is examined through the descriptor it is read
    // from; a file that is older than its display file is not read.
    bool examined = false;
    const Admit live = [&](const struct stat &pst) {
        examined = true;
        return display_time <= pst.st_mtim.tv_sec ? VK_OK : VK_ERR_NO_FILE;
    };
    int rc = parse(ppath, &live);
    // -19 unexamined: there was no such file.
    if (examined || rc == VK_OK || rc == VK_ERR_NO_FILE) return rc;
    // Opened it could not be: the examination by path decides, as it
    // would have before any reading.
    return valid_procfile(name) == 1 ? parse(ppath, nullptr) : VK_ERR_NO_FILE;
}

}  // namespace

int read_live_sessionfile(const char *name, vk_SessionProc_t **out) {
    if (!out) return VK_ERR_INVALID_ARGS;
    *out = nullptr;
    return read_if_live(name, [out](const char *path, const Admit *admit) {
        return parse_sessionfile_if(path, out, admit);
    });
}

int read_live_proc(const char *name, LiveProc *out) {
    if (!out) return VK_ERR_INVALID_ARGS;
    return read_if_live(name, [out](const char *path, const Admit *admit) {
        return parse_live_proc(path, out, admit);
    });
}

namespace {

// Reads the idle directory once: one listing instead of a look-up per
// display. Anything unexpected (a directory that cannot be read, memory)
// leaves the answers to the look-ups.
void list_idle_markers(Memo &m) {
    vk::Dir d(::opendir(kIdleDir));
    if (!d) {
        // No idle directory: no display is idle, as every look-up would say.
        m.idle_listed = errno == ENOENT;
        return;
    }
    // A directory that may be read but not searched would list markers
    // that no look-up could examine.
    if (::access(kIdleDir, X_OK) != 0) return;
    constexpr std::string_view kSuffix = ".pid";
    try {
        errno = 0;
        while (struct dirent *e = ::readdir(d.get())) {
            std::string_view entry(e->d_name);
            if (entry == "." || entry == ".." || !entry.ends_with(kSuffix)) continue;
            std::string name(entry.substr(0, entry.size() - kSuffix.size()));
            if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN)
                m.unsure.insert(std::move(name));
            else
                m.idle_answers.emplace(std::move(name), 1);
        }
        m.idle_listed = errno == 0;
    } catch (const std::bad_alloc &) {
        m.idle_listed = false;
    }
    if (!m.idle_listed) {
        m.idle_answers.clear();
        m.unsure.clear();
    }
}

}  // namespace

SessionFileMemo::SessionFileMemo() : owner_(!memo) {
    if (!owner_) return;
    memo = new (std::nothrow) Memo;
    if (!memo) return;
    auto hold = [](const char *dir) {
        return vk::Fd(::open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC));
    };
    memo->displays = hold(VK_DISPLAYS_DIR);
    memo->procs = hold(VK_SESSION_PROC_DIR);
    memo->idle = hold(kIdleDir);
    list_idle_markers(*memo);
}

SessionFileMemo::~SessionFileMemo() {
    if (owner_) delete std::exchange(memo, nullptr);
}

int is_idling_session(const char *name) {
    if (!name) return -1;
    char path[1025];
    if (!join_path(path, kIdleDir, name, ".pid")) return -1;
    if (memo) {
        const std::string_view key(name);
        auto known = memo->idle_answers.find(key);
        if (known != memo->idle_answers.end()) return known->second;
        // A name with a "/" leads into a subdirectory that the listing did
        // not see.
        if (memo->idle_listed && !std::strchr(name, '/') && !memo->unsure.count(key)) return 0;
    }
    int idle = -1;
    struct stat st {};
    int r = memo && memo->idle ? ::fstatat(memo->idle.get(), path + std::strlen(kIdleDir), &st, 0)
                               : ::stat(path, &st);
    if (r == 0) {
        idle = 1;
    } else if (errno == ENOENT) {
        idle = 0;
    } else {
        dprintf("vk_setUserSessionEnt(): idling check failed (%s)", std::strerror(errno));
        return -1;
    }
    if (memo) {
        try {
            memo->idle_answers.emplace(name, idle);
        } catch (const std::bad_alloc &) {
            // Not remembered: asked again, the file system answers again.
        }
    }
    return idle;
}
