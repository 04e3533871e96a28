// vkgroup: the sessions of the whole failover group in one command: listed
// for people (a table), scripts (record lines, JSON Lines) and monitoring
// (Prometheus metrics), and terminated, suspended or resumed wherever they
// are. A thin command line over the group module (group.h).
#include <cerrno>
#include <climits>
#include <csignal>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "group.h"
#include "members.h"
#include "messages.h"
#include "output.h"
#include "text.h"
#include "vkcxx.h"

namespace {

using namespace vkgroup;

constexpr const char *kUsage =
    "usage: vkgroup list [-x | -j] [-w SECONDS] [-P N] [-u LOGIN] [-t TOKEN] [-d DISPLAY]\n"
    "                    [SERVER...]\n"
    "       vkgroup {terminate|suspend|resume} [-a] [-w SECONDS] [-P N]\n"
    "                    {-u LOGIN | -t TOKEN | -d DISPLAY}... [SERVER...]\n"
    "       vkgroup metrics [-w SECONDS] [-P N] [-o FILE] [SERVER...]\n"
    "       vkgroup -h\n";

constexpr const char *kHelp =
    "\n"
    "Lists and acts on the sessions of every member of the failover group\n"
    "(/etc/opt/KELWvk/group/members and this host), or of the SERVERs named,\n"
    "asking them in parallel.\n"
    "\n"
    "  list        a table (as vksession -p, with a Server column); -x record\n"
    "              lines; -j JSON Lines\n"
    "  terminate, suspend, resume\n"
    "              the sessions that match every filter given; more than one\n"
    "              only with -a\n"
    "  metrics     the group's state in the Prometheus text format; -o FILE\n"
    "              writes it to FILE atomically\n"
    "\n"
    "  -u LOGIN    sessions of this Unix login (or numeric user id)\n"
    "  -t TOKEN    sessions of this token (logical or raw id, any letter case)\n"
    "  -d DISPLAY  the session of this display\n"
    "  -w SECONDS  a member's deadline to answer (default 20)\n"
    "  -P N        members asked at a time (default 32)\n"
    "\n"
    "Exit status: 0 every member answered (and every action succeeded);\n"
    "1 a member failed, no session matched, the -a rule refused, or an action\n"
    "failed; 2 a usage error or a bad members file; 3 metrics not written.\n";

[[noreturn]] void usage(const std::string &why) {
    std::fprintf(stderr, "vkgroup: %s\n%s", why.c_str(), kUsage);
    std::exit(2);
}

// A number within [lo, hi], or a usage error.
int number(const char *text, int lo, int hi, const char *what) {
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || errno || v < lo || v > hi)
        usage(std::string(what) + " must be a number from " + std::to_string(lo) + " to " +
              std::to_string(hi));
    return static_cast<int>(v);
}

// A filter's value: as vksession bounds it, and no control characters (it
// becomes a word on the far side's command line).
void set_value(std::optional<std::string> &slot, const char *value, size_t max, const char *what) {
    if (slot) usage(std::string(what) + " given twice");
    std::string v = value;
    if (v.empty() || v.size() > max)
        usage(std::string(what) + " must be 1 to " + std::to_string(max) + " characters");
    for (unsigned char c : v)
        if (c < 0x20 || c == 0x7f) usage(std::string(what) + " holds a control character");
    slot = v;
}

struct Command {
    std::string verb;
    char format = 't';  // t table, x records, j JSON
    bool all = false;
    Filter filter;
    Options opt;
    std::string out_file;
    std::vector<std::string> servers;
};

Command parse(int argc, char **argv) {
    if (argc < 2) usage("missing command");
    Command c;
    c.verb = argv[1];
    if (c.verb == "-h" || c.verb == "--help") {
        if (argc > 2) usage("-h takes nothing more");
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        std::exit(0);
    }
    std::string opts;
    if (c.verb == "list")
        opts = "+xjw:P:u:t:d:";
    else if (c.verb == "terminate" || c.verb == "suspend" || c.verb == "resume")
        opts = "+aw:P:u:t:d:";
    else if (c.verb == "metrics")
        opts = "+w:P:o:";
    else
        usage("unknown command: " + one_line(c.verb, 40));
    bool w = false, p = false;
    optind = 2;
    opterr = 0;
    int ch;
    while ((ch = getopt(argc, argv, opts.c_str())) != -1) {
        switch (ch) {
            case 'x':
            case 'j':
                if (c.format != 't') usage("-x and -j exclude each other");
                c.format = static_cast<char>(ch);
                break;
            case 'a':
                c.all = true;
                break;
            case 'w':
                if (w) usage("-w given twice");
                w = true;
                c.opt.deadline_s = number(optarg, 1, 3600, "-w");
                break;
            case 'P':
                if (p) usage("-P given twice");
                p = true;
                c.opt.parallel = number(optarg, 1, 1024, "-P");
                break;
            case 'u':
                set_value(c.filter.login, optarg, 121, "-u");
                break;
            case 't':
                set_value(c.filter.token, optarg, 255, "-t");
                break;
            case 'd':
                set_value(c.filter.display, optarg, 118, "-d");
                break;
            case 'o':
                if (!c.out_file.empty()) usage("-o given twice");
                c.out_file = optarg;
                if (c.out_file.empty()) usage("-o needs a file");
                break;
            default:
                usage(optopt ? std::string("option -") + static_cast<char>(optopt) +
                                   (std::strchr(opts.c_str(), optopt) ? " needs a value"
                                                                      : " not known here")
                             : "bad option");
        }
    }
    for (int i = optind; i < argc; ++i) c.servers.emplace_back(argv[i]);
    bool acting = c.verb != "list" && c.verb != "metrics";
    if (acting && !c.filter.any()) usage("at least one of -u, -t, -d is required");
    return c;
}

std::vector<Member> members_of(const Command &c) {
    Members all;
    std::string error;
    if (!read_members(kMembersFile, all, error)) {
        std::fprintf(stderr, "vkgroup: %s\n", error.c_str());
        std::exit(2);
    }
    if (all.file_missing && c.servers.empty())
        std::fprintf(stderr, "vkgroup: %s: no such file; asking this host only\n", kMembersFile);
    std::vector<Member> picked;
    if (!pick_members(all, c.servers, picked, error)) usage(error);
    return picked;
}

// One line for each member that did not answer and each warning.
void report(const Listing &l) {
    for (const MemberAnswer &a : l.members) {
        for (const std::string &w : a.warnings)
            std::fprintf(stderr, "vkgroup: %s: warning: %s\n", a.member.name.c_str(),
                         one_line(w).c_str());
        if (!a.answered)
            std::fprintf(stderr, "vkgroup: %s: %s\n", a.member.name.c_str(),
                         one_line(a.reason).c_str());
    }
}

std::string describe(const Listing &l, const Session &s) {
    const vk_UserSession_t r = s.record();
    const char *token = _vk_getDisplayToken(&r);
    return terminal_text(l.server(s)) + " " + terminal_text(r.dispNo ? r.dispNo : "?") + " " +
           terminal_text(token ? token : "???");
}

// The temporary file of the metrics while it exists, for the handler of
// the signals that end the run: a killed run must not leave a file behind
// in the collector's directory at every timer tick.
char temp_path[PATH_MAX];
volatile sig_atomic_t temp_exists = 0;
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ};

extern "C" void remove_temp_and_end(int sig) {
    if (temp_exists) ::unlink(temp_path);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// While it lives: the ending signals remove the temporary file first.
class TempGuard {
  public:
    TempGuard() {
        struct sigaction sa {};
        sa.sa_handler = remove_temp_and_end;
        sigemptyset(&sa.sa_mask);
        for (int sig : kEndingSignals) sigaddset(&sa.sa_mask, sig);
        for (size_t i = 0; i < std::size(kEndingSignals); ++i)
            ::sigaction(kEndingSignals[i], &sa, &old_[i]);
    }
    ~TempGuard() {
        for (size_t i = 0; i < std::size(kEndingSignals); ++i)
            ::sigaction(kEndingSignals[i], &old_[i], nullptr);
    }
    TempGuard(const TempGuard &) = delete;
    TempGuard &operator=(const TempGuard &) = delete;

  private:
    struct sigaction old_[std::size(kEndingSignals)]{};
};

// The ending signals held for a moment, so that the handler never sees the
// file's name and its existence disagree.
class HoldSignals {
  public:
    HoldSignals() {
        sigset_t s;
        sigemptyset(&s);
        for (int sig : kEndingSignals) sigaddset(&s, sig);
        ::sigprocmask(SIG_BLOCK, &s, &old_);
    }
    ~HoldSignals() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
    HoldSignals(const HoldSignals &) = delete;
    HoldSignals &operator=(const HoldSignals &) = delete;

  private:
    sigset_t old_;
};

// Writes `text` to `path` whole or not at all: a scraper never reads a
// half-written file. The rename is made durable by syncing the directory,
// so that a crash does not bring the old file back, or none at all.
bool write_atomically(const std::string &path, const std::string &text, std::string &error) {
    std::string tmp = path + ".XXXXXX";
    if (tmp.size() >= sizeof temp_path) {
        error = path + ": " + std::strerror(ENAMETOOLONG);
        return false;
    }
    TempGuard guard;
    vk::Fd fd;
    {
        HoldSignals hold;
        std::memcpy(temp_path, tmp.c_str(), tmp.size() + 1);
        fd.reset(::mkstemp(temp_path));
        if (fd) temp_exists = 1;
        tmp = temp_path;
    }
    if (!fd) {
        error = tmp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::fchmod(fd.get(), 0644) == 0;
    for (size_t at = 0; ok && at < text.size();) {
        ssize_t n = ::write(fd.get(), text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) at += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd.get()) == 0;
    int saved = errno;
    ok = ::close(fd.release()) == 0 && ok;
    {
        HoldSignals hold;
        if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) {
            temp_exists = 0;
        } else {
            if (ok) saved = errno;
            ::unlink(tmp.c_str());
            temp_exists = 0;
            error = path + ": " + std::strerror(saved);
            return false;
        }
    }
    std::string dir = path.substr(0, path.find_last_of('/') + 1);
    if (dir.empty()) dir = ".";
    vk::Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dfd || ::fsync(dfd.get()) != 0) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

int list(const Command &c, const std::vector<Member> &members) {
    Options opt = c.opt;
    opt.names = c.format == 't';
    Listing l = list_sessions(members, c.filter, opt);
    if (c.format == 'x')
        // A far side's bytes reach a terminal only escaped: they could
        // carry escape sequences. A pipe gets the records as they are.
        print_records(stdout, l, ::isatty(STDOUT_FILENO) == 1);
    else if (c.format == 'j')
        print_json(stdout, l);
    else
        print_table(stdout, l);
    std::fflush(stdout);
    report(l);
    return l.all_answered() ? 0 : 1;
}

int metrics(const Command &c, const std::vector<Member> &members) {
    Listing l = list_sessions(members, {}, c.opt);
    std::string text = metrics_text(l);
    report(l);
    if (c.out_file.empty()) {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    } else {
        std::string error;
        if (!write_atomically(c.out_file, text, error)) {
            std::fprintf(stderr, "vkgroup: %s\n", error.c_str());
            return 3;
        }
    }
    return l.all_answered() ? 0 : 1;
}

int act_on(const Command &c, const std::vector<Member> &members) {
    Listing l = list_sessions(members, c.filter, c.opt);
    report(l);
    int status = l.all_answered() ? 0 : 1;
    if (l.sessions.empty()) {
        std::fprintf(stderr, "vkgroup: No session found!\n");
        return 1;
    }
    if (l.sessions.size() > 1 && !c.all) {
        std::fprintf(stderr, "vkgroup: %zu sessions match; nothing was done:\n", l.sessions.size());
        for (const Session &s : l.sessions) std::fprintf(stderr, "  %s\n", describe(l, s).c_str());
        std::fprintf(stderr, "vkgroup: use -a to act on all of them, or more filters\n");
        return 1;
    }
    Action a = c.verb == "terminate" ? Action::Terminate
               : c.verb == "suspend" ? Action::Suspend
                                     : Action::Resume;
    std::vector<size_t> all(l.sessions.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    std::vector<Outcome> outcomes = act(a, l, all, c.opt);
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const Outcome &o = outcomes[i];
        if (o.ok) {
            std::printf("%s: done\n", describe(l, l.sessions[i]).c_str());
        } else {
            std::printf("%s: failed (%s)\n", describe(l, l.sessions[i]).c_str(),
                        one_line(o.message).c_str());
            status = 1;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    vk::use_user_language();
    Command c = parse(argc, argv);
    std::vector<Member> members = members_of(c);
    if (c.verb == "list") return list(c, members);
    if (c.verb == "metrics") return metrics(c, members);
    return act_on(c, members);
}
