// vkauthd: the status service of the authentication manager.
//
// The authentication manager knows which token is presented at which
// terminal. The administrator's tool asks it over a TCP connection on the
// loopback address: it sends one request line, "status", and reads one
// record per terminal,
//     begin
//     key=value
//     ...
//     end
// until the manager closes the connection.
//
// This manager keeps its knowledge of the terminals in a directory that is
// easy to set by hand, by a demo or by a test: one file per terminal in
// /var/opt/KELWvk/authd/terminals, named after the terminal's id, holding
// the record's key=value lines. The files are read afresh for every status
// request, so a change shows at the next query without telling the daemon.
// The lines are sent as written (a test may want odd values), with these
// exceptions, each logged: a line the client could not take whole (more
// than 511 bytes), a line with control characters (a stray carriage return
// or a newline smuggled into a value would change how the client cuts the
// answer), and a line "begin" or "end", which would cut a record in two.
// A file larger than 64 KiB, not a regular file or not root's is not sent
// at all. A record without a terminal id gets "terminalCID=<file name>" as
// its first line.
//
// The daemon serves many clients at once from one poll() loop over
// non-blocking sockets. No client can stall the others or hold resources for
// long: a request must arrive within 5 seconds and fit in 512 bytes, the
// answer must be taken within 10 seconds, and an answer is at most 1 MiB.
//
// See usage() for the options, files and exit statuses.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <list>
#include <string>
#include <string_view>
#include <vector>

#include <netdb.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>

#include "common.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using vksrv::Fd;

constexpr const char *kStateDir = "/var/opt/KELWvk/authd";
constexpr const char *kTerminalsDir = "/var/opt/KELWvk/authd/terminals";
constexpr const char *kPidFile = "vkauthd.pid";
constexpr const char *kService = "vkauthd-cb";
constexpr unsigned kDefaultPort = 7010;

// The client assembles each line in a 512-byte buffer.
constexpr size_t kMaxLine = 511;
constexpr size_t kMaxFile = size_t{64} * 1024;
constexpr size_t kMaxAnswer = size_t{1024} * 1024;
// "status" and its newline, with room to spare for a telnet user's "\r".
constexpr size_t kMaxRequest = 512;
// Beyond this many connections new ones wait in the listen backlog.
constexpr size_t kMaxClients = 256;
constexpr milliseconds kRequestTime{5000};
constexpr milliseconds kAnswerTime{10000};
// After the answer, how long we wait for the client to close its side.
constexpr milliseconds kLingerTime{2000};
// How long the listener rests when we run out of descriptors.
constexpr milliseconds kAcceptPause{200};

const char kUsage[] =
    "NAME\n"
    "     vkauthd - status service of the Parvix authentication manager\n"
    "\n"
    "SYNOPSIS\n"
    "     vkauthd [-f] [-p PORT]\n"
    "     vkauthd -t\n"
    "     vkauthd -h\n"
    "\n"
    "DESCRIPTION\n"
    "     vkauthd tells which token is presented at which terminal of this\n"
    "     server. It listens on 127.0.0.1 at the TCP port of the service\n"
    "     vkauthd-cb in the services database, or at port 7010 when that\n"
    "     service is not listed.\n"
    "\n"
    "     A client sends one request line. The request \"status\" is answered\n"
    "     with one record per terminal, in the byte order of the terminals'\n"
    "     ids: a line \"begin\", the terminal's key=value lines and a line\n"
    "     \"end\". Then, and after any other request, the connection is closed.\n"
    "\n"
    "     Each terminal is a file of /var/opt/KELWvk/authd/terminals whose\n"
    "     name is the terminal's id, holding key=value lines such as\n"
    "     terminalCID, tokenName, encryptUpType, encryptDownType,\n"
    "     authenticateUpType, authenticateDownType, securityMode,\n"
    "     MultiheadGroupName, MultiheadTerminalIndex, MultiheadPrimary and\n"
    "     terminalIPA. The files are read for every request and their lines\n"
    "     sent as written; a record without a terminalCID or terminalId line\n"
    "     starts with terminalCID=<file name>. Not sent, and logged: lines\n"
    "     longer than 511 bytes, lines with control characters other than\n"
    "     tab, lines \"begin\" and \"end\"; files larger than 64 KiB, files\n"
    "     that are no regular files or do not belong to root, and files whose\n"
    "     names hold control characters. Names starting with \".\" are\n"
    "     ignored, so editors' and scripts' temporary files never show.\n"
    "\n"
    "     A client has 5 seconds to send its request and 10 seconds to read\n"
    "     the answer (at most 1 MiB); a slower one is disconnected.\n"
    "\n"
    "OPTIONS\n"
    "     -f       Stay in the foreground and write no pid file; log to\n"
    "              standard error as well as to the system log.\n"
    "     -p PORT  Listen at PORT instead.\n"
    "     -t       Print the answer to a status request and exit.\n"
    "     -h       Print this text and exit.\n"
    "\n"
    "     Without -f, vkauthd returns once the daemon listens and its pid file\n"
    "     is written.\n"
    "\n"
    "SIGNALS\n"
    "     SIGTERM, SIGINT  Close the listener and every connection, remove\n"
    "                      the pid file and exit with status 0.\n"
    "\n"
    "FILES\n"
    "     /var/opt/KELWvk/authd/terminals/  one file per terminal\n"
    "     /var/opt/KELWvk/authd/vkauthd.pid the daemon's pid\n"
    "\n"
    "DIAGNOSTICS\n"
    "     Everything is logged to the system log, facility daemon.\n"
    "\n"
    "EXIT STATUS\n"
    "     0  stopped by a signal, or -t and -h done\n"
    "     1  the port could not be taken, or the pid file not written\n"
    "     2  bad usage\n";

int bad_usage() {
    std::fputs("usage: vkauthd [-f] [-p PORT] | -t | -h\n", stderr);
    return 2;
}

// ---- the status answer -------------------------------------------------

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Whether the line gives the terminal's id as the client reads it: the key
// with blanks around it removed, matched exactly.
bool names_terminal(std::string_view line) {
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    std::string_view key = trim_blanks(line.substr(0, eq));
    return key == "terminalCID" || key == "terminalId";
}

// Tab passes: the client strips it around keys and values, and it cannot
// change where a line ends.
bool has_control(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7f;
    });
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        if (nl == std::string_view::npos) nl = text.size();
        lines.push_back(text.substr(0, nl));
        text.remove_prefix(std::min(nl + 1, text.size()));
    }
    return lines;
}

// The record of terminal `name` with the file's `content`.
std::string make_record(const std::string &name, std::string_view content) {
    const std::string shown = vksrv::printable(name);
    std::string body;
    bool has_id = false;
    size_t n = 0;
    for (std::string_view line : split_lines(content)) {
        ++n;
        const char *why = nullptr;
        if (line.size() > kMaxLine)
            why = "longer than 511 bytes";
        else if (has_control(line))
            why = "holds control characters";
        else if (line == "begin" || line == "end")
            why = "would cut the record";
        if (why) {
            ::syslog(LOG_WARNING, "terminal %s: line %zu not sent: %s", shown.c_str(), n, why);
            continue;
        }
        has_id = has_id || names_terminal(line);
        body.append(line).push_back('\n');
    }
    std::string rec = "begin\n";
    if (!has_id) rec += "terminalCID=" + name + "\n";
    return rec + body + "end\n";
}

// Terminal file names in byte order, hidden ones left out.
std::vector<std::string> terminal_names(int dirfd) {
    std::vector<std::string> names;
    vksrv::Dir d = vksrv::open_dir_stream(dirfd);
    if (!d) return names;
    while (struct dirent *e = ::readdir(d.get())) {
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The whole answer to "status", from the terminal files as they are now.
std::string status_answer() {
    std::string answer;
    Fd dir = vksrv::open_dir(kTerminalsDir, false);
    if (!dir) {
        // No directory: a manager that serves no terminal yet.
        if (errno != ENOENT) ::syslog(LOG_ERR, "%s: %s", kTerminalsDir, std::strerror(errno));
        return answer;
    }
    std::vector<std::string> names = terminal_names(dir.get());
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string &name = names[i];
        const std::string shown = vksrv::printable(name);
        // The name may become a line of the record. (It cannot be too long
        // for one: file names end at 255 bytes.)
        if (has_control(name)) {
            ::syslog(LOG_WARNING, "terminal %s: not sent: unusable file name", shown.c_str());
            continue;
        }
        auto content = vksrv::read_file_at(dir.get(), name.c_str(), kMaxFile, true);
        if (!content) {
            if (errno == EFBIG)
                ::syslog(LOG_WARNING, "terminal %s: not sent: file larger than %zu bytes",
                         shown.c_str(), kMaxFile);
            else if (errno == EPERM)
                ::syslog(LOG_WARNING, "terminal %s: not sent: no regular file of root's",
                         shown.c_str());
            else if (errno != ENOENT)  // removed since the listing
                ::syslog(LOG_WARNING, "terminal %s: not sent: %s", shown.c_str(),
                         std::strerror(errno));
            continue;
        }
        std::string rec = make_record(name, *content);
        if (answer.size() + rec.size() > kMaxAnswer) {
            ::syslog(LOG_ERR, "answer cut at %zu bytes: %zu terminals not sent", answer.size(),
                     names.size() - i);
            break;
        }
        answer += rec;
    }
    return answer;
}

// ---- clients -------------------------------------------------------------

struct Client {
    enum class Phase { Request, Answer, Closing };
    Fd fd;
    Phase phase = Phase::Request;
    std::string in;   // request received so far
    std::string out;  // answer
    size_t sent = 0;  // bytes of `out` written
    Clock::time_point deadline;
    bool done = false;  // to be dropped
};

// Ends our side gracefully: closing a socket with unread input would reset
// the connection, and the client could lose the end of its answer. So our
// side is shut, and whatever the client still sends is read and dropped
// until it closes its side too.
void start_closing(Client &c) {
    c.out = std::string();
    ::shutdown(c.fd.get(), SHUT_WR);
    c.phase = Client::Phase::Closing;
    c.deadline = Clock::now() + kLingerTime;
}

void send_answer(Client &c) {
    while (c.sent < c.out.size()) {
        ssize_t n = ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) c.done = true;  // gone: EPIPE, reset
            return;
        }
        c.sent += static_cast<size_t>(n);
    }
    start_closing(c);
}

void handle_request(Client &c, std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line == "status") {
        c.out = status_answer();
        c.phase = Client::Phase::Answer;
        c.deadline = Clock::now() + kAnswerTime;
        send_answer(c);
        return;
    }
    ::syslog(LOG_INFO, "unknown request \"%s\"", vksrv::printable(line.substr(0, 64)).c_str());
    start_closing(c);
}

void read_request(Client &c) {
    char buf[kMaxRequest + 1];
    for (;;) {
        ssize_t n = ::recv(c.fd.get(), buf, kMaxRequest + 1 - c.in.size(), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) c.done = true;
            return;
        }
        if (n == 0) {
            // A request without its newline still counts once the client
            // has finished sending.
            if (c.in.empty())
                c.done = true;
            else
                handle_request(c, c.in);
            return;
        }
        c.in.append(buf, static_cast<size_t>(n));
        size_t nl = c.in.find('\n');
        if (nl != std::string::npos) {
            handle_request(c, std::string_view(c.in).substr(0, nl));
            return;
        }
        if (c.in.size() > kMaxRequest) {
            ::syslog(LOG_INFO, "request longer than %zu bytes: connection dropped", kMaxRequest);
            c.done = true;
            return;
        }
    }
}

void drain(Client &c) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, 0);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) c.done = true;
        return;
    }
}

void serve(Client &c, short revents) {
    switch (c.phase) {
        case Client::Phase::Request:
            if (revents & (POLLIN | POLLHUP | POLLERR)) read_request(c);
            break;
        case Client::Phase::Answer:
            if (revents & (POLLOUT | POLLHUP | POLLERR)) send_answer(c);
            break;
        case Client::Phase::Closing:
            if (revents & (POLLIN | POLLHUP | POLLERR)) drain(c);
            break;
    }
}

// ---- the daemon ------------------------------------------------------------

unsigned service_port() {
    if (const struct servent *s = ::getservbyname(kService, "tcp"))
        return ntohs(static_cast<uint16_t>(s->s_port));
    return kDefaultPort;
}

Fd make_listener(unsigned port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    int on = 1;
    // A restart must not wait for the old connections' TIME_WAIT.
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 ||
        ::listen(fd.get(), 128) != 0)
        return Fd();
    return fd;
}

bool write_all(int fd, std::string_view s) {
    while (!s.empty()) {
        ssize_t n = ::write(fd, s.data(), s.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        s.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// The pid file, locked for as long as we run so that a second daemon (on
// another port) cannot take it over. A file left by a daemon that was
// killed holds no lock and is simply rewritten.
struct PidFile {
    Fd dir, fd;

    int create() {
        dir = vksrv::open_dir(kStateDir, true, 0755);
        if (!dir) return errno;
        fd = Fd(::openat(dir.get(), kPidFile, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (!fd) return errno;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
        if (::ftruncate(fd.get(), 0) != 0 ||
            !write_all(fd.get(), std::to_string(::getpid()) + "\n"))
            return errno ? errno : EIO;
        return 0;
    }

    void remove() {
        if (fd) ::unlinkat(dir.get(), kPidFile, 0);
        fd.reset();
    }
};

// Turns us into a daemon: a grandchild in a session of its own, adopted by
// init. The starter waits until the daemon reports, over a pipe, that its
// pid file is written (or why it is not), and exits with the result; only
// the daemon returns from here.
int daemonize(PidFile &pidfile) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return errno;
    Fd rd(p[0]), wr(p[1]);
    pid_t first = ::fork();
    if (first < 0) return errno;
    if (first > 0) {
        wr.reset();
        int err = 0;
        ssize_t n;
        while ((n = ::read(rd.get(), &err, sizeof err)) < 0 && errno == EINTR) {
        }
        ::waitpid(first, nullptr, 0);
        if (n != static_cast<ssize_t>(sizeof err)) {
            std::fprintf(stderr, "vkauthd: the daemon did not start\n");
            ::_exit(1);
        }
        if (err != 0) {
            std::fprintf(stderr, "vkauthd: %s/%s: %s\n", kStateDir, kPidFile,
                         err == EBUSY ? "held by another vkauthd" : std::strerror(err));
            ::_exit(1);
        }
        ::_exit(0);
    }
    rd.reset();
    ::setsid();
    pid_t second = ::fork();
    if (second < 0) ::_exit(1);
    if (second > 0) ::_exit(0);

    ::umask(022);
    (void)!::chdir("/");
    int err = pidfile.create();
    if (err != 0) {
        ::syslog(LOG_ERR, "%s/%s: %s", kStateDir, kPidFile, std::strerror(err));
    } else {
        Fd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
        for (int fd = 0; fd <= 2 && null; ++fd) ::dup2(null.get(), fd);
    }
    (void)!::write(wr.get(), &err, sizeof err);
    if (err != 0) ::_exit(1);
    return 0;
}

int earliest_timeout(const std::list<Client> &clients, Clock::time_point paused_until) {
    auto now = Clock::now();
    auto first = Clock::time_point::max();
    for (const Client &c : clients) first = std::min(first, c.deadline);
    if (paused_until > now) first = std::min(first, paused_until);
    if (first == Clock::time_point::max()) return -1;
    if (first <= now) return 0;
    // Rounded up, so that we never wake just before a deadline.
    return static_cast<int>(std::chrono::ceil<milliseconds>(first - now).count());
}

// Serves until SIGTERM or SIGINT arrives on `sigfd` (answers true), or
// until the loop itself fails.
bool run(int listener, int sigfd) {
    std::list<Client> clients;
    auto paused_until = Clock::time_point::min();
    std::vector<struct pollfd> pfds;
    for (;;) {
        pfds.clear();
        pfds.push_back({sigfd, POLLIN, 0});
        bool listening = clients.size() < kMaxClients && Clock::now() >= paused_until;
        pfds.push_back({listening ? listener : -1, POLLIN, 0});
        for (const Client &c : clients)
            pfds.push_back({c.fd.get(),
                            static_cast<short>(c.phase == Client::Phase::Answer ? POLLOUT : POLLIN),
                            0});
        if (::poll(pfds.data(), pfds.size(), earliest_timeout(clients, paused_until)) < 0) {
            if (errno == EINTR) continue;
            ::syslog(LOG_ERR, "poll: %s", std::strerror(errno));
            return false;
        }
        if (pfds[0].revents) {
            struct signalfd_siginfo si;
            if (::read(sigfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                ::syslog(LOG_NOTICE, "stopping on signal %u", si.ssi_signo);
                return true;
            }
        }

        // Clients first: the new ones below have no poll entry yet.
        size_t i = 2;
        for (Client &c : clients) serve(c, pfds[i++].revents);

        if (pfds[1].revents & POLLIN) {
            while (clients.size() < kMaxClients) {
                int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                        ::syslog(LOG_ERR, "accept: %s", std::strerror(errno));
                        paused_until = Clock::now() + kAcceptPause;
                    }
                    break;  // EAGAIN, or a connection that went away meanwhile
                }
                Client &c = clients.emplace_back();
                c.fd = Fd(fd);
                c.deadline = Clock::now() + kRequestTime;
            }
        }

        auto now = Clock::now();
        for (Client &c : clients) {
            if (c.done || c.deadline > now) continue;
            if (c.phase == Client::Phase::Request)
                ::syslog(LOG_INFO, "no request within %lld ms: connection dropped",
                         static_cast<long long>(kRequestTime.count()));
            else if (c.phase == Client::Phase::Answer)
                ::syslog(LOG_INFO, "answer not taken within %lld ms: connection dropped",
                         static_cast<long long>(kAnswerTime.count()));
            c.done = true;
        }
        clients.remove_if([](const Client &c) { return c.done; });
    }
}

}  // namespace

int main(int argc, char **argv) {
    bool foreground = false, test = false;
    std::optional<unsigned> port;
    int opt;
    while ((opt = ::getopt(argc, argv, "fp:th")) != -1) {
        switch (opt) {
            case 'f':
                foreground = true;
                break;
            case 'p': {
                auto v = vksrv::parse_decimal(optarg, 65535);
                if (!v || *v == 0) {
                    std::fprintf(stderr, "vkauthd: invalid port: %s\n",
                                 vksrv::printable(optarg).c_str());
                    return 2;
                }
                port = static_cast<unsigned>(*v);
                break;
            }
            case 't':
                test = true;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return 0;
            default:
                return bad_usage();
        }
    }
    if (optind != argc || (test && (foreground || port))) return bad_usage();
    vksrv::ensure_std_fds();

    if (test) {
        // Whoever asks sees at once why a line or a file is left out.
        ::openlog("vkauthd", LOG_PERROR, LOG_DAEMON);
        std::string answer = status_answer();
        return write_all(1, answer) ? 0 : 1;
    }

    ::openlog("vkauthd", LOG_PID | (foreground ? LOG_PERROR : 0), LOG_DAEMON);
    // Stop signals arrive through a descriptor that the loop polls, so
    // that they are handled between two steps, never inside one.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    ::sigprocmask(SIG_BLOCK, &stop, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    unsigned p = port.value_or(service_port());
    // Taken before daemonizing, so that the starter can say why not.
    Fd listener = make_listener(p);
    if (!listener) {
        int err = errno;
        std::fprintf(stderr, "vkauthd: cannot listen at 127.0.0.1:%u: %s\n", p, std::strerror(err));
        ::syslog(LOG_ERR, "cannot listen at 127.0.0.1:%u: %s", p, std::strerror(err));
        return 1;
    }

    PidFile pidfile;
    if (!foreground) {
        if (int err = daemonize(pidfile); err != 0) {
            std::fprintf(stderr, "vkauthd: cannot start the daemon: %s\n", std::strerror(err));
            return 1;
        }
        // Without a terminal, a hangup means nothing to us.
        ::signal(SIGHUP, SIG_IGN);
    }
    Fd sigfd(::signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!sigfd) {
        ::syslog(LOG_ERR, "signalfd: %s", std::strerror(errno));
        pidfile.remove();
        return 1;
    }

    ::syslog(LOG_NOTICE, "listening at 127.0.0.1:%u", p);
    bool stopped = run(listener.get(), sigfd.get());
    listener.reset();
    pidfile.remove();
    ::syslog(LOG_NOTICE, "stopped");
    return stopped ? 0 : 1;
}
