// ping HOST TIMEOUT
//
// The reachability probe of the administration library runs exactly
//     /usr/sbin/ping HOST 5
// and takes exit status 0 for "HOST answered within 5 seconds", anything
// else for "it did not". The ICMP ping of this host (/usr/bin/ping) has no
// such form, so this program translates it: with exactly two operands, a
// host and a positive number of seconds, it sends one echo request through
//     /usr/bin/ping -n -q -c 1 -W TIMEOUT -w TIMEOUT HOST
// and answers
//     0  the host answered in time,
//     1  it did not (or the real ping could not run at all),
//     2  HOST is no host name or address.
//
// Every other argument form is handed to /usr/bin/ping unchanged, so that
// installing this program under the name ping breaks nobody's habits.
//
// HOST comes from callers that may have read it from a session file, so it
// is checked before it goes anywhere: letters, digits, '.', '-' and ':'
// only (names, IPv4 and IPv6 addresses), and no leading '-', which the real
// ping would take for an option. It is passed as one element of an argument
// vector; no shell ever sees it.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <sys/wait.h>
#include <linux/close_range.h>

#include "child_signals.h"
#include "common.h"

namespace {

constexpr const char *kRealPing = "/usr/bin/ping";
// A host name is at most 253 characters; an IPv6 address is shorter.
constexpr size_t kMaxHost = 253;
// Longer waits are no probe any more; refusing them keeps a typo from
// blocking the caller for hours.
constexpr unsigned long kMaxTimeout = 3600;

bool valid_host(std::string_view h) {
    if (h.empty() || h.size() > kMaxHost || h[0] == '-') return false;
    for (char c : h) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == ':';
        if (!ok) return false;
    }
    return true;
}

pid_t child = 0;

// A terminal's ^C or a caller's SIGTERM should end the real ping too, not
// leave it running out its time-out after we are gone.
void pass_on(int sig) {
    if (child > 0) ::kill(child, sig);
}

int probe(const char *host, const char *timeout) {
    const char *argv[] = {"ping",  "-n", "-q",    "-c", "1",    "-W",
                          timeout, "-w", timeout, host, nullptr};
    struct sigaction sa = {};
    sa.sa_handler = pass_on;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);

    child = ::fork();
    if (child < 0) {
        std::fprintf(stderr, "ping: fork: %s\n", std::strerror(errno));
        return 1;
    }
    if (child == 0) {
        // Nothing of ours beyond the standard descriptors belongs in it,
        // nor our handlers or mask: it ends on the signals we pass on.
        ::close_range(3, ~0U, 0);
        vk::default_signal_state();
        ::execv(kRealPing, const_cast<char *const *>(argv));
        std::fprintf(stderr, "ping: cannot run %s: %s\n", kRealPing, std::strerror(errno));
        ::_exit(127);
    }
    int st;
    while (::waitpid(child, &st, 0) < 0) {
        if (errno != EINTR) return 1;
    }
    child = 0;
    return WIFEXITED(st) && WEXITSTATUS(st) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    vksrv::ensure_std_fds();
    std::optional<unsigned long> timeout;
    if (argc == 3) timeout = vksrv::parse_decimal(argv[2], kMaxTimeout);
    if (!timeout || *timeout == 0) {
        // Not our form: the real ping's own syntax, whatever it is.
        ::execv(kRealPing, argv);
        std::fprintf(stderr, "ping: cannot run %s: %s\n", kRealPing, std::strerror(errno));
        return 2;
    }
    if (!valid_host(argv[1])) {
        std::fprintf(stderr, "ping: invalid host: %s\n", vksrv::printable(argv[1]).c_str());
        return 2;
    }
    return probe(argv[1], argv[2]);
}
