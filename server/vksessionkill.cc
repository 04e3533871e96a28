// vksessionkill display N
//
// Ends the user session on X display N: its client program with every
// process below it, its X server, and the files that describe it.
//
// Contract with the administrator's tool, which runs us through a pipe:
// on success we print nothing and exit 0; otherwise we print exactly one
// line on standard output and exit non-zero (2 for bad arguments, 1 for
// everything else, "no session" included). Nothing is ever written to
// standard error. A summary goes to the system log.
//
// What is ended. The session proc file /tmp/KELWvk/session_proc/N names the
// client pid (pid=), its user (uid=) and the X server pid (server_pid=).
// Those numbers are only hints: the process may have ended and its number
// may now belong to someone else, and a damaged or forged file could name
// any process at all. So a pid is acted on only when the running process
// proves that it belongs to display N:
//   - the client: its real user id is the file's uid= and its environment
//     holds DISPLAY=:N (or DISPLAY=:N.<screen>), which the session starter
//     gave it and which no other user's process can have put there for it;
//   - the X server: it runs as root and one of its arguments is exactly
//     ":N". The pid in the server's lock file /tmp/.XN-lock is checked the
//     same way, so a session whose proc file is gone still loses its server;
//   - below those, every descendant of a process already being ended, and
//     every process of the client's own login session (the starter makes
//     the client a session leader), found again while we wait so that
//     children forked at the last moment are not missed;
//   - never this program or one of its ancestors (an administrator may end
//     the very session he works in).
// A pid that fails its check is left alone and logged; the rest of the
// session is still ended. Processes are held through pidfds from before
// their check until the end, so a signal can never hit a reused pid.
//
// How they are ended: SIGCONT (a suspended session must be able to act on
// the next signal), then SIGTERM; whatever still runs after a grace time
// gets SIGKILL.
//
// Files removed: /var/opt/KELWvk/displays/N, every copy in
// /var/opt/KELWvk/ctokens/ whose DISPLAY= is N, /tmp/KELWvk/session_proc/N,
// /var/opt/KELWvk/idle/N.pid, and the X server's lock /tmp/.XN-lock and
// socket /tmp/.X11-unix/XN when no live process holds the lock any more.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include <syslog.h>

#include "common.h"
#include "procfs.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kGrace = std::chrono::milliseconds(3000);  // SIGTERM .. SIGKILL
constexpr auto kKillWait = std::chrono::milliseconds(2000);
constexpr long kPollMs = 50;

[[noreturn]] void fail(int status, const std::string &line) {
    std::printf("vksessionkill: %s\n", vksrv::printable(line).c_str());
    std::fflush(stdout);
    std::exit(status);
}

void note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void note(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    ::vsyslog(LOG_INFO, fmt, ap);
    va_end(ap);
}

std::string trim(std::string s) {
    const char *ws = " \t\r\n";
    s.erase(0, s.find_first_not_of(ws));
    s.erase(s.find_last_not_of(ws) + 1);
    return s;
}

// This process and all its ancestors.
std::set<pid_t> own_lineage() {
    std::set<pid_t> lineage;
    for (pid_t p = ::getpid(); p > 0 && lineage.insert(p).second;) {
        auto st = vksrv::read_stat(p);
        if (!st) break;
        p = st->ppid;
    }
    return lineage;
}

bool has_display_env(pid_t pid, const std::string &dpy) {
    auto env = vksrv::read_proc(pid, "environ", 1 << 20);
    if (!env) return false;
    const std::string exact = "DISPLAY=" + dpy, screen = exact + ".";
    for (const auto &var : vksrv::split_nul(*env)) {
        if (var == exact) return true;
        if (var.compare(0, screen.size(), screen) == 0 && var.size() > screen.size() &&
            vksrv::parse_decimal(std::string_view(var).substr(screen.size()), 999))
            return true;
    }
    return false;
}

bool is_x_server_of(pid_t pid, const std::string &dpy) {
    if (vksrv::proc_real_uid(pid) != 0u) return false;
    auto cmdline = vksrv::read_proc(pid, "cmdline", 1 << 16);
    if (!cmdline) return false;
    for (const auto &arg : vksrv::split_nul(*cmdline))
        if (arg == dpy) return true;
    return false;
}

bool really_alive(pid_t pid) {
    auto st = vksrv::read_stat(pid);
    return st && st->state != 'Z' && st->state != 'X';
}

// The set of processes being ended, each held by a pidfd.
class Ending {
  public:
    explicit Ending(std::set<pid_t> spared) : spared_(std::move(spared)) {}

    bool holds(pid_t pid) const { return procs_.count(pid) != 0; }
    bool spared(pid_t pid) const { return spared_.count(pid) != 0; }
    void set_login_session(pid_t sid) { sid_ = sid; }

    void add(vksrv::ProcHandle h) {
        pid_t pid = h.pid();
        procs_.emplace(pid, std::move(h));
    }

    // Adds every process that is a child of one we hold (and still alive,
    // so its pid is still its own) or that belongs to the client's login
    // session, and sends it `signals`. Repeated until nothing new turns up.
    void sweep(std::initializer_list<int> signals) {
        for (bool found = true; found;) {
            found = false;
            for (const auto &[pid, st] : vksrv::proc_snapshot()) {
                if (holds(pid) || spared(pid) || !related(st)) continue;
                auto h = vksrv::ProcHandle::open(pid);
                if (!h) continue;
                // Checked again through the handle's own process.
                auto again = vksrv::read_stat(pid);
                if (!again || !related(*again)) continue;
                for (int sig : signals) h->signal(sig);
                add(std::move(*h));
                found = true;
            }
        }
    }

    void signal_all(int sig) const {
        for (const auto &[pid, h] : procs_) h.signal(sig);
    }

    std::vector<pid_t> alive() const {
        std::vector<pid_t> out;
        for (const auto &[pid, h] : procs_)
            if (h.alive()) out.push_back(pid);
        return out;
    }

    // Waits up to `limit` for everything to end, picking up late children.
    bool wait(Clock::duration limit, std::initializer_list<int> signals) {
        auto deadline = Clock::now() + limit;
        for (;;) {
            sweep(signals);
            if (alive().empty()) return true;
            if (Clock::now() >= deadline) return false;
            vksrv::sleep_ms(kPollMs);
        }
    }

  private:
    bool related(const vksrv::ProcStat &st) const {
        if (sid_ && st.sid == *sid_) return true;
        auto parent = procs_.find(st.ppid);
        return parent != procs_.end() && parent->second.alive();
    }

    std::map<pid_t, vksrv::ProcHandle> procs_;
    std::set<pid_t> spared_;
    std::optional<pid_t> sid_;
};

// Removes `name` below `dirfd`; a missing file is fine. Answers the error
// text for the failure line, empty on success.
std::string remove_at(int dirfd, const std::string &dir, const std::string &name) {
    if (dirfd < 0 || ::unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT) return {};
    return "cannot remove " + dir + "/" + name + ": " + std::strerror(errno);
}

// Opens one of the session file directories; a missing one is empty.
vksrv::Fd session_dir(const char *path) {
    vksrv::Fd fd = vksrv::open_dir(path, false);
    if (!fd && errno != ENOENT)
        fail(1, std::string("cannot use ") + path + ": " + std::strerror(errno));
    return fd;
}

}  // namespace

int main(int argc, char **argv) {
    vksrv::ensure_std_fds();
    ::umask(022);
    ::openlog("vksessionkill", LOG_PID, LOG_USER);
    if (argc != 3 || std::string_view(argv[1]) != "display")
        fail(2, "usage: vksessionkill display N");
    auto display = vksrv::parse_display(argv[2]);
    if (!display) fail(2, std::string("invalid display number: ") + argv[2]);
    const std::string n = std::to_string(*display), dpy = ":" + n;

    vksrv::Fd displays = session_dir(vksrv::kDisplaysDir);
    vksrv::Fd ctokens = session_dir(vksrv::kCtokensDir);
    vksrv::Fd idle = session_dir(vksrv::kIdleDir);
    vksrv::Fd procs = session_dir(vksrv::kSessionProcDir);

    bool have_display_file = displays && vksrv::exists_at(displays.get(), n.c_str());
    std::optional<std::string> proc_file;
    if (procs) proc_file = vksrv::read_file_at(procs.get(), n.c_str(), 65536, true);
    bool have_proc_file = procs && vksrv::exists_at(procs.get(), n.c_str());
    if (!have_display_file && !have_proc_file) fail(1, "no session on display " + n);

    Ending ending(own_lineage());

    // The client and its process tree.
    if (proc_file) {
        auto pid = vksrv::parse_pid(trim(vksrv::key_value(*proc_file, "pid").value_or("")));
        auto uid = vksrv::parse_decimal(trim(vksrv::key_value(*proc_file, "uid").value_or("")),
                                        0xfffffffeUL);
        if (pid && !ending.spared(*pid)) {
            auto h = vksrv::ProcHandle::open(*pid);
            if (h && uid && vksrv::proc_real_uid(*pid) == static_cast<uid_t>(*uid) &&
                has_display_env(*pid, dpy)) {
                auto st = vksrv::read_stat(*pid);
                if (st && st->sid == *pid) ending.set_login_session(*pid);
                ending.add(std::move(*h));
            } else if (h && really_alive(*pid)) {
                note("display %s: client pid %d is not a process of this session; left alone",
                     dpy.c_str(), static_cast<int>(*pid));
            }
        }
    }
    ending.sweep({});
    ending.signal_all(SIGCONT);
    ending.signal_all(SIGTERM);

    // The X server, from the proc file and from its own lock file.
    std::set<pid_t> server_candidates;
    if (proc_file) {
        if (auto p =
                vksrv::parse_pid(trim(vksrv::key_value(*proc_file, "server_pid").value_or(""))))
            server_candidates.insert(*p);
    }
    const std::string lock = vksrv::x_lock_path(*display);
    if (auto text = vksrv::read_file_at(AT_FDCWD, lock.c_str(), 64, true))
        if (auto p = vksrv::parse_pid(trim(*text))) server_candidates.insert(*p);
    for (pid_t pid : server_candidates) {
        if (ending.holds(pid) || ending.spared(pid)) continue;
        auto h = vksrv::ProcHandle::open(pid);
        if (!h) continue;
        if (!is_x_server_of(pid, dpy)) {
            if (really_alive(pid))
                note("display %s: pid %d is not its X server; left alone", dpy.c_str(),
                     static_cast<int>(pid));
            continue;
        }
        h->signal(SIGCONT);
        h->signal(SIGTERM);
        ending.add(std::move(*h));
    }

    if (!ending.wait(kGrace, {SIGCONT, SIGTERM})) {
        ending.signal_all(SIGKILL);
        if (!ending.wait(kKillWait, {SIGKILL})) {
            auto left = ending.alive();
            fail(1,
                 "process " + std::to_string(left.front()) + " of display " + n + " did not end");
        }
    }

    // The files. Every removal is tried; the first failure is reported.
    std::vector<std::string> errors;
    auto check = [&errors](std::string err) {
        if (!err.empty()) errors.push_back(std::move(err));
    };
    check(remove_at(procs.get(), vksrv::kSessionProcDir, n));
    check(remove_at(displays.get(), vksrv::kDisplaysDir, n));
    check(remove_at(idle.get(), vksrv::kIdleDir, n + ".pid"));
    if (ctokens) {
        if (vksrv::Dir dir = vksrv::open_dir_stream(ctokens.get())) {
            while (struct dirent *e = ::readdir(dir.get())) {
                if (e->d_name[0] == '.') continue;
                auto text = vksrv::read_file_at(ctokens.get(), e->d_name, 65536);
                if (text && vksrv::key_value(*text, "DISPLAY") == n)
                    check(remove_at(ctokens.get(), vksrv::kCtokensDir, e->d_name));
            }
        }
    }
    // The X server normally removes its lock and socket itself; after a
    // SIGKILL they are left behind and would keep the display number taken.
    bool lock_held = false;
    if (auto text = vksrv::read_file_at(AT_FDCWD, lock.c_str(), 64))
        if (auto p = vksrv::parse_pid(trim(*text))) lock_held = really_alive(*p);
    if (!lock_held) {
        if (::unlink(lock.c_str()) != 0 && errno != ENOENT)
            check("cannot remove " + lock + ": " + std::strerror(errno));
        vksrv::Fd sockets = vksrv::open_dir(vksrv::kX11SocketDir, false, 0, true);
        check(remove_at(sockets.get(), vksrv::kX11SocketDir, vksrv::x_socket_name(*display)));
    }
    if (!errors.empty()) fail(1, errors.front());

    note("ended the session on display %s", dpy.c_str());
    return 0;
}
