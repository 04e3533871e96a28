// vkweb-helper: the privileged half of vkweb. vkweb, started as root,
// makes kLanes socket pairs, starts this program with their ends on
// descriptors 3 to 8 and then gives up root; from then on this program
// does the only things that need root (checking a password, the sessions
// of the group), until vkweb closes its ends.
//
// It serves every lane from one loop. What is answered at once (logins,
// login checks, a listing kept) is answered in the loop; a fresh listing
// or an action, which may take as long as the group's deadline, runs in a
// child of its own that writes its reply back on a pipe, so that nothing
// else waits for it. One fresh listing runs at a time, for every request
// that waits for it.
//
// Whatever arrives on the lanes may come from a web side that has been
// taken over: a request that fails its checks is refused and nothing runs
// for it, and a message that is not even framed right ends this program,
// since the other side is then not to be trusted at all.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "config.h"
#include "protocol.h"
#include "service.h"
#include "system.h"
#include "vkcxx.h"

namespace {

using vkweb::Message;

[[noreturn]] void usage() {
    std::fputs(
        "usage: vkweb-helper [-c CONFIG]\n"
        "(started by vkweb, with its sockets on descriptors 3 to 8)\n",
        stderr);
    std::exit(2);
}

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "vkweb-helper: %s\n", why.c_str());
    ::syslog(LOG_ERR, "%s", why.c_str());
    std::exit(1);
}

// Passwords pass through the requests: they are wiped once served.
void wipe(Message &m) {
    for (std::string &f : m.fields) ::explicit_bzero(f.data(), f.size());
    m.fields.clear();
}

// How much a fresh listing's child yields to the rest (nice(2)'s steps).
constexpr int kListingNice = 10;

Message refused(const char *why) {
    return Message{static_cast<char>(vkweb::Status::Refused), {why}};
}

struct Lane {
    int fd;
    bool waiting = false;  // for a reply from a child
};

// A child at work: a fresh listing (for every lane that waits for one) or
// an action (for `lane`).
struct Child {
    pid_t pid = -1;
    vk::Fd out;  // the pipe it writes its reply to
    std::string got;
    bool listing = false;
    size_t lane = 0;
    unsigned since = 0;  // the service's actions when it began
};

// Runs `work` in a child; its reply comes back on the child's pipe.
template <class Work>
bool start(Child &c, Work work) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return false;
    vk::Fd in(p[0]), out(p[1]);
    pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // The lanes are the loop's alone.
        in.reset();
        ::close_range(vkweb::kFirstLane, vkweb::kFirstLane + vkweb::kLanes - 1, 0);
        // A listing is mostly fetched while pages are shown from the one
        // kept: it yields the processor to them (and so do the ssh clients
        // it starts), rather than the pages waiting behind it.
        if (c.listing) ::setpriority(PRIO_PROCESS, 0, kListingNice);
        Message reply = work();
        std::string bytes = vkweb::encode(reply);
        bool sent = vk::write_all(out.get(), bytes.data(), bytes.size());
        ::_exit(sent ? 0 : 1);
    }
    ::fcntl(in.get(), F_SETFL, O_NONBLOCK);
    c.pid = pid;
    c.out = std::move(in);
    return true;
}

// Reads what the child has written; true once it has closed its pipe.
bool drain(Child &c) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(c.out.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
        if (n <= 0) return true;
        // A reply over the limits is no reply: the rest is not kept.
        if (c.got.size() <= 4 + vkweb::kReplyLimits.max_body)
            c.got.append(buf, static_cast<size_t>(n));
    }
}

// The child's reply, once it has ended.
Message finish(Child &c) {
    int status = 0;
    while (::waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (c.got.size() >= 4) {
        uint32_t len = 0;
        for (int i = 0; i < 4; ++i)
            len |= static_cast<uint32_t>(static_cast<unsigned char>(c.got[i])) << (8 * i);
        if (len == c.got.size() - 4)
            if (auto m = vkweb::decode(std::string_view(c.got).substr(4), vkweb::kReplyLimits))
                return std::move(*m);
    }
    ::syslog(LOG_ERR, "a child at work for vkweb gave no reply (status %d)", status);
    return refused(vkweb::kWorkFailed);
}

// Whether `lane` waits for an action's child (not for the listing).
bool waits_for_action(const std::list<Child> &children, const std::vector<Lane> &lanes,
                      const Lane &lane) {
    return std::any_of(children.begin(), children.end(),
                       [&](const Child &c) { return !c.listing && &lanes[c.lane] == &lane; });
}

void send(const Lane &lane, const std::string &bytes) {
    if (!vk::write_all(lane.fd, bytes.data(), bytes.size()))
        fail(std::string("cannot answer vkweb: ") + std::strerror(errno));
}

void answer(const Lane &lane, const Message &reply) {
    send(lane, vkweb::encode(reply));
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
    std::vector<Lane> lanes;
    for (int fd = vkweb::kFirstLane; fd < vkweb::kFirstLane + vkweb::kLanes; ++fd) {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            fail("descriptor " + std::to_string(fd) +
                 " is not a socket: vkweb-helper is started by vkweb");
        // Nothing that the session operations start may hold a lane.
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
            fail("descriptor " + std::to_string(fd) + ": " + std::strerror(errno));
        lanes.push_back({fd});
    }
    // Nor anything else this program was given.
    ::close_range(vkweb::kFirstLane + vkweb::kLanes, ~0U, 0);
    // A web side that is gone shows as a failed write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);

    vkweb::Config config;
    std::string error;
    if (!vkweb::read_config(config_path, config, error)) fail(error);

    vkweb::SystemBackend backend(config);
    // A listing is answered while a fresh one is on its way for as long as
    // a member may take to answer, and a little longer.
    vkweb::Service service(backend, std::chrono::seconds(config.idle),
                           std::chrono::seconds(config.lifetime),
                           std::chrono::seconds(config.deadline + 5));
    service.encoded_listings(true);
    std::list<Child> children;
    for (;;) {
        std::vector<pollfd> polled;
        std::vector<Child *> polled_children;
        polled.reserve(lanes.size() + children.size());
        for (const Lane &l : lanes) polled.push_back({l.waiting ? -1 : l.fd, POLLIN, 0});
        for (Child &c : children) {
            polled.push_back({c.out.get(), POLLIN, 0});
            polled_children.push_back(&c);
        }
        if (::poll(polled.data(), polled.size(), -1) < 0) {
            if (errno == EINTR) continue;
            fail(std::string("poll: ") + std::strerror(errno));
        }
        for (size_t i = 0; i < polled_children.size(); ++i) {
            if (!polled[lanes.size() + i].revents) continue;
            Child &c = *polled_children[i];
            if (!drain(c)) continue;
            Message reply = finish(c);
            if (c.listing) {
                service.listed(reply, c.since);
                const std::string bytes = vkweb::encode(reply);
                for (Lane &l : lanes) {
                    if (!l.waiting || waits_for_action(children, lanes, l)) continue;
                    l.waiting = false;
                    send(l, bytes);
                }
            } else {
                service.acted();
                lanes[c.lane].waiting = false;
                answer(lanes[c.lane], reply);
            }
            children.remove_if([&c](const Child &o) { return &o == &c; });
        }
        for (size_t i = 0; i < lanes.size(); ++i) {
            Lane &lane = lanes[i];
            if (lane.waiting || !polled[i].revents) continue;
            Message request;
            switch (vkweb::recv_message(lane.fd, vkweb::kRequestLimits, request)) {
                case vkweb::Received::Closed:
                    for (const Child &c : children) ::kill(c.pid, SIGTERM);
                    return 0;
                case vkweb::Received::Refused:
                    fail(
                        "a message from vkweb that is not one, or too large: the web side is not "
                        "to be trusted; ending");
                case vkweb::Received::Message:
                    break;
            }
            vkweb::Plan plan = service.begin(request);
            wipe(request);
            if (plan.kind == vkweb::Plan::Kind::Now || plan.kept) {
                if (plan.wire)
                    send(lane, *plan.wire);
                else
                    answer(lane, plan.reply);
            }
            if (plan.kind == vkweb::Plan::Kind::Now) continue;
            lane.waiting = !plan.kept;
            if (plan.kind == vkweb::Plan::Kind::Listing && !plan.fetch) continue;
            Child &c = children.emplace_back();
            c.listing = plan.kind == vkweb::Plan::Kind::Listing;
            c.lane = i;
            c.since = service.actions();
            bool started = c.listing ? start(c, [&service] { return service.fresh_listing(); })
                                     : start(c, [&service, &plan] { return service.work(plan); });
            if (!started) {
                ::syslog(LOG_ERR, "cannot start a child for vkweb's request: %s",
                         std::strerror(errno));
                bool listing = c.listing;
                children.pop_back();
                const Message failed = refused(vkweb::kWorkFailed);
                if (!listing) {
                    lane.waiting = false;
                    answer(lane, failed);
                    continue;
                }
                // Every lane that waits for the listing waits for this one.
                service.listed(failed, service.actions());
                for (Lane &l : lanes) {
                    if (!l.waiting || waits_for_action(children, lanes, l)) continue;
                    l.waiting = false;
                    answer(l, failed);
                }
            }
        }
    }
}
