// vkweb-helper: the privileged half of vkweb. vkweb, started as root,
// makes a socket pair, starts this program with its end on descriptor 3
// and then gives up root; from then on this program does the only things
// that need root (checking a password, the sessions of the group), one
// request at a time, until vkweb closes its end.
//
// Whatever arrives on descriptor 3 may come from a web side that has been
// taken over: a request that fails its checks is refused and nothing runs
// for it, and a message that is not even framed right ends this program,
// since the other side is then not to be trusted at all.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "config.h"
#include "protocol.h"
#include "service.h"
#include "system.h"

namespace {

constexpr int kChannel = 3;

[[noreturn]] void usage() {
    std::fputs(
        "usage: vkweb-helper [-c CONFIG]\n"
        "(started by vkweb, with its socket on descriptor 3)\n",
        stderr);
    std::exit(2);
}

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "vkweb-helper: %s\n", why.c_str());
    ::syslog(LOG_ERR, "%s", why.c_str());
    std::exit(1);
}

// Passwords pass through the requests: they are wiped once served.
void wipe(vkweb::Message &m) {
    for (std::string &f : m.fields) ::explicit_bzero(f.data(), f.size());
    m.fields.clear();
}

}  // namespace

int main(int argc, char **argv) {
    std::string config_path = vkweb::kConfigFile;
    int ch;
    opterr = 0;
    while ((ch = ::getopt(argc, argv, "c:")) != -1) {
        if (ch != 'c') usage();
        config_path = optarg;
    }
    if (optind != argc) usage();

    ::openlog("vkweb-helper", LOG_PID, LOG_DAEMON);
    // No core file: it would hold passwords.
    ::prctl(PR_SET_DUMPABLE, 0);
    if (::geteuid() != 0) fail("must be started as root");
    struct stat st {};
    if (::fstat(kChannel, &st) != 0 || !S_ISSOCK(st.st_mode))
        fail("descriptor 3 is not a socket: vkweb-helper is started by vkweb");
    // Nothing that the session operations start may hold the channel, nor
    // anything else this program was given.
    if (::fcntl(kChannel, F_SETFD, FD_CLOEXEC) != 0)
        fail(std::string("descriptor 3: ") + std::strerror(errno));
    ::close_range(kChannel + 1, ~0U, 0);
    // A web side that is gone shows as a failed write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);

    vkweb::Config config;
    std::string error;
    if (!vkweb::read_config(config_path, config, error)) fail(error);

    vkweb::SystemBackend backend(config);
    vkweb::Service service(backend, std::chrono::seconds(config.idle),
                           std::chrono::seconds(config.lifetime));
    for (;;) {
        vkweb::Message request;
        switch (vkweb::recv_message(kChannel, vkweb::kRequestLimits, request)) {
            case vkweb::Received::Closed:
                return 0;
            case vkweb::Received::Refused:
                fail(
                    "a message from vkweb that is not one, or too large: the web side is not to be "
                    "trusted; ending");
            case vkweb::Received::Message:
                break;
        }
        vkweb::Message reply = service.handle(request);
        wipe(request);
        if (!vkweb::send_message(kChannel, reply))
            fail(std::string("cannot answer vkweb: ") + std::strerror(errno));
    }
}
