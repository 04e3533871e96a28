// vkfloor: the least work that one listing of this host's sessions can do.
//
// `vksession -p` cannot avoid reading every session file, running the
// host's ps once, asking the authentication manager once for the status of
// its terminals, and probing the host before it does. This program does
// exactly that and nothing more: no parsing beyond cutting lines, no
// records, no sorting. The benchmark (bench.py) runs it beside vksession on
// the same simulated host, and the ratio of the two times tells how much
// the tool spends on top of the work that any implementation must do.
//
// It prints one line per display file (its name), as the table has one
// row per session, and ends with status 0, or 1 when a step fails.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Reads every file of `dir` once; calls `on_file(name)` after each.
template <typename F>
bool read_all(const char *dir, F &&on_file) {
    DIR *d = ::opendir(dir);
    if (!d) return false;
    char buf[4096];
    while (struct dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        int fd = ::openat(::dirfd(d), e->d_name, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        while (::read(fd, buf, sizeof buf) > 0) {
        }
        ::close(fd);
        on_file(e->d_name);
    }
    ::closedir(d);
    return true;
}

// The names in `dir`, without opening them: an idle marker counts by its
// existence alone.
bool list_names(const char *dir) {
    DIR *d = ::opendir(dir);
    if (!d) return false;
    while (::readdir(d)) {
    }
    ::closedir(d);
    return true;
}

bool run_ps() {
    std::FILE *ps = ::popen("/bin/ps -e -o pid,s,uid,comm", "r");
    if (!ps) return false;
    char line[1024];
    while (std::fgets(line, sizeof line, ps)) {
    }
    return ::pclose(ps) == 0;
}

bool ping_localhost() {
    pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        int null = ::open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
        ::execl("/usr/sbin/ping", "ping", "localhost", "5", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One "status" request; the reply is read to its end and thrown away.
bool status_query() {
    struct servent *s = ::getservbyname("vkauthd-cb", "tcp");
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = s ? static_cast<in_port_t>(s->s_port) : htons(7010);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = ::connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0 &&
              ::send(fd, "status\n", 7, MSG_NOSIGNAL) == 7;
    char buf[65536];
    ssize_t n;
    while (ok && (n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno != EINTR) ok = false;
    }
    ::close(fd);
    return ok;
}

}  // namespace

int main() {
    bool ok =
        read_all("/var/opt/KELWvk/displays/", [](const char *name) { std::printf("%s\n", name); });
    ok = read_all("/tmp/KELWvk/session_proc/", [](const char *) {}) && ok;
    ok = list_names("/var/opt/KELWvk/idle/") && ok;
    ok = ping_localhost() && ok;
    ok = status_query() && ok;
    ok = run_ps() && ok;
    return ok ? 0 : 1;
}
