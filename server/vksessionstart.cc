// vksessionstart: starts a user session on a new X display and writes the
// files that describe it; also marks a display idle and active again.
// The manual page is the usage text below (vksessionstart -h).
//
// The session files are read by the administrator's tool, which checks the
// running processes against them: the command name that ps shows for the
// recorded pid ("comm", at most 15 bytes of the executable's name on Linux)
// must be a prefix of the recorded program. So program= and server_prog=
// are written as exactly that name, read from /proc/PID/comm once the
// program has been executed, not as the path we started.
//
// The tool also takes a session proc file as stale when it is older than
// the display file, so the display file is written first and the proc file
// last, its time raised to the display file's if the clocks of the two file
// systems disagree. Every file is written to a temporary name and renamed,
// so a reader never sees half a file.
//
// Starts are serialised by a lock on the display directory, so two starters
// cannot pick the same free display.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <syslog.h>

#include "common.h"
#include "procfs.h"
#include "spawn.h"

namespace {

constexpr const char *kUsage = R"(NAME
    vksessionstart - start a user session on an X display

SYNOPSIS
    vksessionstart -u USER -t TOKEN -r RAWTOKEN [-T SESSION_TYPE] [-s TOKEN_SET]
                   [-d N] -- CLIENT [ARG...]
    vksessionstart -i N
    vksessionstart -I N
    vksessionstart -h

DESCRIPTION
    The first form starts a session: an X server (Xvfb, 800x600, depth 24,
    no TCP) on display N, or on the lowest free display from 1 up when -d is
    not given, and, once the server accepts connections, the program CLIENT
    with its arguments, running as USER in a session of its own with HOME,
    USER, LOGNAME, SHELL, PATH and DISPLAY=:N as its whole environment, in
    USER's home directory. Both run detached from vksessionstart. Then the
    session files are written and the display number is printed.

    -i N marks the session on display N idle; -I N removes the mark.

OPTIONS
    -u USER          the session's user (a login name)
    -t TOKEN         the token the session belongs to; also names its copy
                     of the display file
    -r RAWTOKEN      the raw token id (INSERT_TOKEN=)
    -T SESSION_TYPE  the session type; default "default"
    -s TOKEN_SET     the session's tokens, comma-separated; default
                     TOKEN,RAWTOKEN
    -d N             use display N, which must be free
    CLIENT           absolute path of the session's program
    -i N, -I N       set or clear the idle mark of display N
    -h               show this text

    Tokens consist of letters, digits and . _ : @ + - (at most 74, not
    starting with a dot); a session type of letters, digits and . _ -
    (at most 32). Display numbers are 0 to 9999.

FILES
    /var/opt/KELWvk/displays/N       display file: TOKEN=, INSERT_TOKEN=,
                                     DISPLAY=, TOKEN_SET=, SESSION_TYPE=
    /var/opt/KELWvk/ctokens/TOKEN    copy of the display file
    /tmp/KELWvk/session_proc/N       session proc file: XID=, uid=, pid=,
                                     program=, server_pid=, server_prog=
    /var/opt/KELWvk/idle/N.pid       idle mark

EXIT STATUS
    0 success, 1 failure (message on standard error), 2 bad usage.
)";

constexpr const char *kXServer = "/usr/bin/Xvfb";
constexpr unsigned kFirstAutoDisplay = 1, kLastAutoDisplay = 999;
constexpr int kServerAttempts = 5;     // displays tried when one turns out taken
constexpr long kServerWaitMs = 15000;  // until the X socket must exist
constexpr long kCommWaitMs = 1000;     // until exec has renamed the client

int usage_error(const std::string &msg) {
    std::fprintf(stderr, "vksessionstart: %s\nTry 'vksessionstart -h' for help.\n",
                 vksrv::printable(msg).c_str());
    return 2;
}

[[noreturn]] void die(const std::string &msg) {
    std::fprintf(stderr, "vksessionstart: %s\n", vksrv::printable(msg).c_str());
    ::syslog(LOG_ERR, "%s", vksrv::printable(msg).c_str());
    std::exit(1);
}

bool is_token_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("._:@+-", c) != nullptr;
}

// A token also names a file in the ctokens directory, so no '/', no leading
// dot, and short enough for the readers' 100-byte path buffers.
bool valid_token(std::string_view t) {
    if (t.empty() || t.size() > 74 || t[0] == '.') return false;
    for (char c : t)
        if (!is_token_char(c)) return false;
    return true;
}

bool valid_token_set(std::string_view s) {
    if (s.size() > 900) return false;
    size_t pos = 0;
    for (;;) {
        size_t end = s.find(',', pos);
        if (!valid_token(s.substr(pos, end == std::string_view::npos ? end : end - pos)))
            return false;
        if (end == std::string_view::npos) return true;
        pos = end + 1;
    }
}

bool valid_session_type(std::string_view t) {
    if (t.empty() || t.size() > 32) return false;
    for (char c : t)
        if (!is_token_char(c) || c == ':' || c == '@' || c == '+') return false;
    return true;
}

vksrv::Fd need_dir(const char *path) {
    vksrv::Fd fd = vksrv::open_dir(path, true, 0755);
    if (!fd) die(std::string("cannot use ") + path + ": " + std::strerror(errno));
    return fd;
}

// ---- -i / -I ----------------------------------------------------------

int set_idle(unsigned display, bool idle) {
    const std::string n = std::to_string(display), mark = n + ".pid";
    vksrv::Fd dir = need_dir(vksrv::kIdleDir);
    if (!idle) {
        if (::unlinkat(dir.get(), mark.c_str(), 0) != 0 && errno != ENOENT)
            die("cannot remove the idle mark of display " + n + ": " + std::strerror(errno));
        return 0;
    }
    vksrv::Fd displays = vksrv::open_dir(vksrv::kDisplaysDir, false);
    if (!displays || !vksrv::exists_at(displays.get(), n.c_str()))
        die("no session on display " + n);
    if (int err = vk::write_file_atomically(dir.get(), mark, "", 0644))
        die("cannot mark display " + n + " idle: " + std::strerror(err));
    return 0;
}

// ---- starting a session ------------------------------------------------

struct StartOptions {
    std::string user, token, raw, type = "default", token_set;
    std::optional<unsigned> display;
    std::vector<std::string> client;  // path and arguments
};

struct User {
    std::string name, home, shell;
    vksrv::Credentials creds;
};

User lookup_user(const std::string &name) {
    struct passwd *pw = ::getpwnam(name.c_str());
    if (!pw) die("no such user: " + name);
    User u;
    u.name = pw->pw_name;
    u.home = pw->pw_dir ? pw->pw_dir : "/";
    u.shell = pw->pw_shell && *pw->pw_shell ? pw->pw_shell : "/bin/sh";
    u.creds.uid = pw->pw_uid;
    u.creds.gid = pw->pw_gid;
    int count = 16;
    for (;;) {
        u.creds.groups.resize(static_cast<size_t>(count));
        int n = count;
        if (::getgrouplist(u.name.c_str(), u.creds.gid, u.creds.groups.data(), &n) >= 0) {
            u.creds.groups.resize(static_cast<size_t>(n));
            break;
        }
        if (n <= count) die("cannot read the groups of " + name);
        count = n;
    }
    return u;
}

// The session directories, opened (and made) once.
struct Dirs {
    vksrv::Fd displays = need_dir(vksrv::kDisplaysDir);
    vksrv::Fd ctokens = need_dir(vksrv::kCtokensDir);
    vksrv::Fd idle = need_dir(vksrv::kIdleDir);
    vksrv::Fd procs = need_dir(vksrv::kSessionProcDir);
};

// A display is free when neither session files nor an X server's lock or
// socket exist for it.
bool display_free(const Dirs &d, unsigned display) {
    const std::string n = std::to_string(display);
    const std::string sock =
        std::string(vksrv::kX11SocketDir) + "/" + vksrv::x_socket_name(display);
    return !vksrv::exists_at(d.displays.get(), n.c_str()) &&
           !vksrv::exists_at(d.procs.get(), n.c_str()) &&
           !vksrv::exists_at(AT_FDCWD, vksrv::x_lock_path(display).c_str()) &&
           !vksrv::exists_at(AT_FDCWD, sock.c_str());
}

// The command name the kernel (and so ps) shows for `pid`. Right after a
// successful exec the name may still be ours for a moment; it is read again
// until it changes. A program that has already ended is named after its
// executable, as the kernel would have named it.
std::string running_name(pid_t pid, const std::string &path) {
    const std::string ours = vksrv::proc_comm(::getpid()).value_or("");
    for (long waited = 0;; waited += 10) {
        auto comm = vksrv::proc_comm(pid);
        if (comm && (*comm != ours || waited >= kCommWaitMs)) return vksrv::printable(*comm);
        if (!comm) break;
        vksrv::sleep_ms(10);
    }
    std::string base = path.substr(path.rfind('/') + 1);
    return vksrv::printable(base.substr(0, 15));
}

struct Server {
    pid_t pid;
    vksrv::ProcHandle handle;
};

// Starts Xvfb on `display` and waits until it accepts connections. Nothing
// when the server ends first (typically: someone else took the display).
std::optional<Server> start_server(unsigned display) {
    const std::string dpy = ":" + std::to_string(display);
    vksrv::SpawnRequest req;
    req.path = kXServer;
    req.argv = {"Xvfb", dpy, "-screen", "0", "800x600x24", "-nolisten", "tcp"};
    req.env = {"PATH=/usr/bin:/bin"};
    pid_t pid = vksrv::spawn_detached(req);
    if (pid < 0) die(std::string("cannot start ") + kXServer + ": " + std::strerror(errno));
    auto h = vksrv::ProcHandle::open(pid);
    if (!h) return std::nullopt;
    const std::string sock =
        std::string(vksrv::kX11SocketDir) + "/" + vksrv::x_socket_name(display);
    for (long waited = 0; waited < kServerWaitMs; waited += 50) {
        if (!h->alive()) return std::nullopt;
        if (vksrv::exists_at(AT_FDCWD, sock.c_str())) return Server{pid, std::move(*h)};
        vksrv::sleep_ms(50);
    }
    h->signal(SIGTERM);
    die("the X server on display " + dpy + " did not come up");
}

int start_session(const StartOptions &o) {
    User user = lookup_user(o.user);
    const std::string &client = o.client.front();
    struct stat st;
    if (client[0] != '/' || ::stat(client.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        !(st.st_mode & 0111))
        die("not an executable file given by absolute path: " + client);

    Dirs dirs;
    if (::flock(dirs.displays.get(), LOCK_EX) != 0)
        die(std::string("cannot lock the display directory: ") + std::strerror(errno));

    // Pick the display and bring its X server up.
    std::optional<Server> server;
    unsigned display = 0;
    if (o.display) {
        display = *o.display;
        if (!display_free(dirs, display)) die("display :" + std::to_string(display) + " is in use");
        server = start_server(display);
        if (!server) die("the X server on display :" + std::to_string(display) + " ended at once");
    } else {
        int attempts = 0;
        for (unsigned d = kFirstAutoDisplay; d <= kLastAutoDisplay && !server; ++d) {
            if (!display_free(dirs, d)) continue;
            if (++attempts > kServerAttempts) break;
            display = d;
            server = start_server(d);
        }
        if (!server) die("no free display could be started");
    }
    const std::string n = std::to_string(display), dpy = ":" + n;
    const std::string server_prog = running_name(server->pid, kXServer);

    // Anything that fails from here on ends what was started.
    std::optional<vksrv::ProcHandle> client_handle;
    std::vector<std::pair<int, std::string>> written;
    auto abandon = [&](const std::string &msg) {
        if (client_handle) client_handle->signal(SIGTERM);
        server->handle.signal(SIGTERM);
        for (const auto &[dirfd, name] : written) ::unlinkat(dirfd, name.c_str(), 0);
        die(msg);
    };

    vksrv::SpawnRequest req;
    req.path = client;
    req.argv = o.client;
    req.argv[0] = client.substr(client.rfind('/') + 1);
    req.env = {"HOME=" + user.home,
               "USER=" + user.name,
               "LOGNAME=" + user.name,
               "SHELL=" + user.shell,
               "PATH=/usr/local/bin:/usr/bin:/bin",
               "DISPLAY=" + dpy};
    req.cwd = user.home;
    req.creds = user.creds;
    pid_t client_pid = vksrv::spawn_detached(req);
    if (client_pid < 0) abandon("cannot start " + client + ": " + std::strerror(errno));
    client_handle = vksrv::ProcHandle::open(client_pid);
    const std::string program = running_name(client_pid, client);

    // The files: display file, its token copy, then the proc file.
    const std::string token_set =
        o.token_set.empty() ? (o.raw == o.token ? o.token : o.token + "," + o.raw) : o.token_set;
    const std::string display_text = "TOKEN=" + o.token + "\nINSERT_TOKEN=" + o.raw +
                                     "\nDISPLAY=" + n + "\nTOKEN_SET=" + token_set +
                                     "\nSESSION_TYPE=" + o.type + "\n";
    // A mark left by an earlier session on this display would make the new
    // one look idle.
    ::unlinkat(dirs.idle.get(), (n + ".pid").c_str(), 0);
    if (int err = vk::write_file_atomically(dirs.displays.get(), n, display_text, 0644))
        abandon("cannot write the display file: " + std::string(std::strerror(err)));
    written.emplace_back(dirs.displays.get(), n);
    if (int err = vk::write_file_atomically(dirs.ctokens.get(), o.token, display_text, 0644))
        abandon("cannot write the token's display file: " + std::string(std::strerror(err)));
    written.emplace_back(dirs.ctokens.get(), o.token);

    struct stat dst;
    if (::fstatat(dirs.displays.get(), n.c_str(), &dst, 0) != 0)
        abandon("cannot examine the display file: " + std::string(std::strerror(errno)));
    const std::string proc_text = "XID=" + n + "\nuid=" + std::to_string(user.creds.uid) +
                                  "\npid=" + std::to_string(client_pid) + "\nprogram=" + program +
                                  "\nserver_pid=" + std::to_string(server->pid) +
                                  "\nserver_prog=" + server_prog + "\n";
    if (int err = vk::write_file_atomically(dirs.procs.get(), n, proc_text, 0644, &dst.st_mtim))
        abandon("cannot write the session proc file: " + std::string(std::strerror(err)));

    ::syslog(LOG_INFO, "session of %s (token %s) started on display %s: %s pid %d, %s pid %d",
             user.name.c_str(), o.token.c_str(), dpy.c_str(), program.c_str(),
             static_cast<int>(client_pid), server_prog.c_str(), static_cast<int>(server->pid));
    std::printf("%s\n", n.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    vksrv::ensure_std_fds();
    ::umask(022);
    ::openlog("vksessionstart", LOG_PID, LOG_USER);

    StartOptions o;
    std::optional<unsigned> idle_on, idle_off;
    bool have_type = false;
    int opt;
    while ((opt = ::getopt(argc, argv, "+hu:t:r:T:s:d:i:I:")) != -1) {
        switch (opt) {
            case 'h':
                std::fputs(kUsage, stdout);
                return 0;
            case 'u':
                o.user = optarg;
                break;
            case 't':
                o.token = optarg;
                break;
            case 'r':
                o.raw = optarg;
                break;
            case 'T':
                o.type = optarg;
                have_type = true;
                break;
            case 's':
                o.token_set = optarg;
                break;
            case 'd':
            case 'i':
            case 'I': {
                auto d = vksrv::parse_display(optarg);
                if (!d) return usage_error(std::string("invalid display number: ") + optarg);
                (opt == 'd' ? o.display : opt == 'i' ? idle_on : idle_off) = *d;
                break;
            }
            default:
                return usage_error("unknown option");
        }
    }
    const bool start = !o.user.empty() || !o.token.empty() || !o.raw.empty() || have_type ||
                       !o.token_set.empty() || o.display || optind < argc;
    if (int(idle_on.has_value()) + int(idle_off.has_value()) + int(start) != 1)
        return usage_error("give either a session to start, or one of -i and -I");
    if (::geteuid() != 0) {
        std::fprintf(stderr, "vksessionstart: must be run as root\n");
        return 1;
    }
    if (idle_on) return set_idle(*idle_on, true);
    if (idle_off) return set_idle(*idle_off, false);

    if (o.user.empty() || o.token.empty() || o.raw.empty())
        return usage_error("-u, -t and -r are required");
    if (!valid_token(o.token)) return usage_error("invalid token: " + o.token);
    if (!valid_token(o.raw)) return usage_error("invalid raw token: " + o.raw);
    if (!o.token_set.empty() && !valid_token_set(o.token_set))
        return usage_error("invalid token set: " + o.token_set);
    if (!valid_session_type(o.type)) return usage_error("invalid session type: " + o.type);
    if (optind >= argc) return usage_error("no client program given after --");
    for (int i = optind; i < argc; ++i) o.client.emplace_back(argv[i]);
    return start_session(o);
}
