// vkwall -d :N
//
// Shows a message to the user of X display :N. The text is read from
// standard input, entered in the system log (facility user, level info) as
//     vkwall: message to display :N: <text, line breaks shown as " / ">
// and displayed in a centred message window (xmessage) on the display.
//
// The window is started detached, with the text already waiting on its
// standard input, so vkwall returns at once while the window stays up until
// the user dismisses it. The administrator's tool pipes its notice into us
// and waits for us before it goes on; it must not wait for the user.
//
// Exit status: 0 when the window was started, 1 when the display has no X
// server or the window could not be started, 2 for bad arguments. The
// message is logged in every case but the last.
#include <cstdio>
#include <cstring>
#include <string>

#include <syslog.h>

#include "common.h"
#include "spawn.h"

namespace {

constexpr const char *kMessageProgram = "/usr/bin/xmessage";
// A notice is a few lines; anything beyond this is cut. Staying below the
// pipe's capacity lets us write the whole text before the window starts.
constexpr size_t kMaxText = 16384;

int usage() {
    std::fprintf(stderr, "usage: vkwall -d :N   (the message text is read from standard input)\n");
    return 2;
}

std::string read_stdin() {
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (text.size() < kMaxText)
            text.append(buf, std::min(static_cast<size_t>(n), kMaxText - text.size()));
    }
    return text;
}

// One log line: line breaks become " / ", other control characters '?'.
std::string for_log(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += " / ";
        else if (c == '\t')
            out += ' ';
        else
            out += c;
    }
    return vksrv::printable(out);
}

}  // namespace

int main(int argc, char **argv) {
    vksrv::ensure_std_fds();
    const char *dpy_arg = nullptr;
    int opt;
    while ((opt = ::getopt(argc, argv, "d:")) != -1) {
        if (opt != 'd') return usage();
        dpy_arg = optarg;
    }
    if (!dpy_arg || optind != argc || dpy_arg[0] != ':') return usage();
    auto display = vksrv::parse_display(dpy_arg + 1);
    if (!display) {
        std::fprintf(stderr, "vkwall: invalid display: %s\n", vksrv::printable(dpy_arg).c_str());
        return 2;
    }
    const std::string dpy = ":" + std::to_string(*display);

    // Run by the administrator's tool, whose standard error belongs to its
    // own messages, a failure to show the window is only logged; run by
    // hand from a terminal it is also said there.
    auto complain = [](const std::string &what) {
        ::openlog("vkwall", 0, LOG_USER);
        ::syslog(LOG_WARNING, "%s", what.c_str());
        ::closelog();
        if (::isatty(STDERR_FILENO)) std::fprintf(stderr, "vkwall: %s\n", what.c_str());
    };

    std::string text = read_stdin();
    ::openlog("vkwall", 0, LOG_USER);
    ::syslog(LOG_INFO, "message to display %s: %s", dpy.c_str(), for_log(text).c_str());
    ::closelog();

    // Without a server the window would only fail later, unseen.
    vksrv::Fd sockets = vksrv::open_dir(vksrv::kX11SocketDir, false, 0, true);
    if (!sockets || !vksrv::exists_at(sockets.get(), vksrv::x_socket_name(*display).c_str())) {
        complain("no X server on display " + dpy);
        return 1;
    }

    // The text goes into a pipe before the window exists; the read end
    // becomes the window's standard input and sees end of file after it.
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) {
        complain(std::string("pipe: ") + std::strerror(errno));
        return 1;
    }
    vksrv::Fd rd(p[0]), wr(p[1]);
    int capacity = ::fcntl(wr.get(), F_GETPIPE_SZ);
    if (capacity > 0 && text.size() > static_cast<size_t>(capacity))
        text.resize(static_cast<size_t>(capacity));
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(wr.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    wr.reset();

    vksrv::SpawnRequest req;
    req.path = kMessageProgram;
    req.argv = {"xmessage", "-center", "-file", "-"};
    req.env = {"DISPLAY=" + dpy, "PATH=/usr/bin:/bin", "HOME=/"};
    req.stdin_fd = rd.get();
    if (vksrv::spawn_detached(req) < 0) {
        complain(std::string("cannot start ") + kMessageProgram + ": " + std::strerror(errno));
        return 1;
    }
    return 0;
}
