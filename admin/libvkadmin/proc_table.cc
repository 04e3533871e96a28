// The process table: who owns a process, what it runs, whether it is
// stopped, as the host's ps reports it. A cache of the whole table serves
// one enumeration; outside it every question runs its own ps query.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <string_view>
#include <sys/wait.h>
#include <unordered_map>

#include "user_session_internal.h"
#include "vkadmin.h"
#include "vkcxx.h"

namespace {

constexpr size_t kCmdBuf = 100;
constexpr const char *kPsCommand = "/bin/ps -e -o pid,s,uid,comm";
constexpr size_t kLineBuf = 1024;

vk_LinkedList_t *local_ps_table = nullptr;
bool cache_built = false;
// Beside the sorted list, its entries by process id, so that a look-up does
// not walk the list: a host runs thousands of processes, and an enumeration
// asks for one per session. Among equal ids the list's first (the newest)
// is the one found; the views point into the list's keys.
std::unordered_map<std::string_view, vk_procTable_t *> by_pid;

void free_ps_payload(void *p) {
    free_ps_entry(static_cast<vk_procTable_t *>(p));
}

// Splits at runs of blanks (tabs are not separators). Answers the start of
// the next field and terminates it in place, or null when none is left.
char *next_field(char **cursor) {
    char *p = *cursor;
    while (*p == ' ') ++p;
    if (!*p) return nullptr;
    char *start = p;
    while (*p && *p != ' ') ++p;
    if (*p) *p++ = '\0';
    *cursor = p;
    return start;
}

using PsEntry = std::unique_ptr<vk_procTable_t, decltype(&free_ps_entry)>;

}  // namespace

vk_procTable_t *allocate_ps_entry(void) {
    return static_cast<vk_procTable_t *>(std::calloc(1, sizeof(vk_procTable_t)));
}

void free_ps_entry(vk_procTable_t *entry) {
    if (!entry) return;
    std::free(entry->uid);
    std::free(entry->comm);
    std::free(entry->pid);
    std::free(entry);
}

int parse_ps_entry(char *line, vk_procTable_t **entry) {
    if (!entry) return VK_ERR_INVALID_ARGS;
    *entry = nullptr;
    if (!line || !*line) return VK_ERR_INTERNAL;
    PsEntry rec(allocate_ps_entry(), &free_ps_entry);
    if (!rec) return VK_ERR_NO_MEMORY;

    // ps ends every line with its newline; a line cut short by the read
    // buffer has none, and its last character goes as the newline would.
    line[std::strlen(line) - 1] = '\0';

    char *cursor = line;
    char *pid = next_field(&cursor);
    char *s = pid ? next_field(&cursor) : nullptr;
    char *uid = s ? next_field(&cursor) : nullptr;
    char *comm = uid ? next_field(&cursor) : nullptr;
    if (!comm) return VK_ERR_INTERNAL;

    rec->pid = ::strdup(pid);
    rec->uid = ::strdup(uid);
    rec->comm = ::strdup(comm);
    if (!rec->pid || !rec->uid || !rec->comm) return VK_ERR_NO_MEMORY;
    if (s[0] == 'T') rec->state = VK_PROC_STOPPED;
    *entry = rec.release();
    return VK_OK;
}

void reset_processState(void) {
    by_pid.clear();
    vk_freeLinkedList(local_ps_table, free_ps_payload);
    local_ps_table = nullptr;
    cache_built = false;
}

int load_processState(std::FILE *ps) {
    reset_processState();
    // The entries are chained as read and sorted into the list in one pass.
    vk_LinkedList_t *chain = nullptr, **tail = &chain;
    int rc = VK_OK;
    char line[kLineBuf];
    while (std::fgets(line, sizeof line, ps)) {
        vk_procTable_t *rec = nullptr;
        if (parse_ps_entry(line, &rec) != VK_OK) continue;  // a line that does not parse is skipped
        PsEntry owned(rec, &free_ps_entry);
        vk::CStr key = vk::dup(rec->pid);
        vk_LinkedList_t *n = key ? vk_allocLinkedListNode() : nullptr;
        if (!n) {
            rc = VK_ERR_NO_MEMORY;
            break;
        }
        n->key = key.release();
        n->node = owned.release();
        *tail = n;
        tail = &n->next;
    }
    if (rc == VK_OK) {
        try {
            for (vk_LinkedList_t *n = chain; n; n = n->next)
                by_pid[n->key] = static_cast<vk_procTable_t *>(n->node);
        } catch (const std::bad_alloc &) {
            rc = VK_ERR_NO_MEMORY;
        }
    }
    if (rc == VK_OK) rc = vk_addNodes2List(&local_ps_table, chain, VK_LIST_ASCENDING);
    if (rc != VK_OK) {
        vk_freeLinkedList(chain, free_ps_payload);
        reset_processState();
        return rc;
    }
    cache_built = true;
    return VK_OK;
}

namespace {

// ps, started by a ProcessTableAhead and not yet read: its output waits in
// the pipe, what it writes to its standard error in `err`.
struct PsAhead {
    std::unique_ptr<vk::Pipe> ps;
    vk::Fd err;
};
PsAhead *ps_ahead = nullptr;

// Writes what the command wrote to its standard error, kept in `err`, to
// ours: where it would have gone, had it run now.
void pass_on_errors(int err) {
    if (::lseek(err, 0, SEEK_SET) != 0) return;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(err, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !vk::write_all(2, buf, static_cast<size_t>(n))) return;
    }
}

}  // namespace

int init_processState(void) {
    reset_processState();
    std::unique_ptr<vk::Pipe> ps;
    vk::Fd err;
    if (ps_ahead && ps_ahead->ps) {
        ps = std::move(ps_ahead->ps);
        err = std::move(ps_ahead->err);
    } else {
        ps.reset(new (std::nothrow) vk::Pipe(kPsCommand, "r"));
        if (!ps) return VK_ERR_NO_MEMORY;
    }
    if (!*ps) return VK_ERR_INTERNAL;
    int rc = load_processState(ps->get());
    int status = ps->close();
    if (err) pass_on_errors(err.get());
    if (rc != VK_OK) return rc;
    if (vk::failed_exit_code(status) != 0) {
        dprintf("vk_setUserSessionEnt(): failed to initialize the process table cache");
        rc = VK_ERR_INTERNAL;  // the table stays built
    }
    return rc;
}

ProcessTableAhead::ProcessTableAhead() {
    if (ps_ahead) return;
    // With a standard descriptor closed, the new descriptors would take its
    // place: ps then runs when it is needed, as always.
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0) return;
    vk::Fd err(::memfd_create("ps-errors", MFD_CLOEXEC));
    if (!err) return;
    std::unique_ptr<PsAhead> a(new (std::nothrow) PsAhead);
    if (!a) return;
    a->ps.reset(new (std::nothrow) vk::Pipe(kPsCommand, "r", err.get()));
    if (!a->ps || !*a->ps) return;
    a->err = std::move(err);
    ps_ahead = a.release();
    owner_ = true;
}

ProcessTableAhead::~ProcessTableAhead() {
    if (!owner_) return;
    // Not read: the table is not wanted, and ps need not finish.
    if (ps_ahead->ps && ps_ahead->ps->pid() > 0) ::kill(ps_ahead->ps->pid(), SIGKILL);
    delete std::exchange(ps_ahead, nullptr);
}

int cached_process_state(const char *pid) {
    if (!cache_built || !pid) return 0;
    auto found = by_pid.find(pid);
    return found == by_pid.end() ? 0 : found->second->state;
}

int get_processState(const char *pid, char **uid, int *s, char **comm, char **pidout) {
    if (!uid || !s || !comm || !pidout) return VK_ERR_INVALID_ARGS;
    *uid = nullptr;
    *s = 0;
    *comm = nullptr;
    *pidout = nullptr;
    if (!pid) return VK_ERR_INVALID_ARGS;

    if (cache_built) {
        auto found = by_pid.find(pid);
        if (found == by_pid.end()) return VK_ERR_NOT_FOUND;
        const vk_procTable_t *e = found->second;
        vk::CStr u = vk::dup(e->uid), c = vk::dup(e->comm), p = vk::dup(e->pid);
        if (!u || !c || !p) return VK_ERR_NO_MEMORY;
        *uid = u.release();
        *comm = c.release();
        *pidout = p.release();
        *s = e->state;
        return VK_OK;
    }

    // The id reaches a shell: a text that is not a plain process number
    // names no process, and nothing is run for it.
    if (!*pid || !is_numeric(pid)) return VK_ERR_NOT_FOUND;
    char cmd[kCmdBuf];
    int n =
        std::snprintf(cmd, sizeof cmd, "/bin/ps -p %s -o pid,s,uid,comm | /usr/bin/tail -1", pid);
    if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) return VK_ERR_INTERNAL;
    vk::Pipe ps(cmd, "r");
    if (!ps) return VK_ERR_INTERNAL;

    int rc = VK_ERR_NOT_FOUND;
    char line[kLineBuf];
    if (std::fgets(line, sizeof line, ps.get())) {
        vk_procTable_t *rec = nullptr;
        rc = parse_ps_entry(line, &rec);
        if (rc == VK_OK) {
            *uid = std::exchange(rec->uid, nullptr);
            *comm = std::exchange(rec->comm, nullptr);
            *pidout = std::exchange(rec->pid, nullptr);
            *s = rec->state;
            free_ps_entry(rec);
        }
    }
    // Drain so that tail never dies of a closed pipe, then reap the pipeline.
    while (std::fgets(line, sizeof line, ps.get())) {
    }
    int code = vk::failed_exit_code(ps.close());
    if (code != 0) {
        dprintf("vk_processState(): vkrcmd failed (%d)", code);
        if (rc == VK_OK) rc = VK_ERR_INTERNAL;
    }
    return rc;
}
