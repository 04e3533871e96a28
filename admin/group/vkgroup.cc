// vkgroup: the sessions of the whole failover group in one command: listed
// for people (a table), scripts (record lines, JSON Lines) and monitoring
// (Prometheus metrics), and terminated, suspended or resumed wherever they
// are. A thin command line over the group module (group.h).
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "atomic_file.h"
#include "enforce.h"
#include "group.h"
#include "limits_report.h"
#include "members.h"
#include "notify.h"
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
    "       vkgroup limits [-j] [-w SECONDS] [-P N] [SERVER...]\n"
    "       vkgroup limits -x | --enforce\n"
    "       vkgroup notify [-a] [-w SECONDS] [-P N] [-u LOGIN] [-t TOKEN] [-d DISPLAY]\n"
    "                    [SERVER...] < TEXT\n"
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
    "  limits      every session's disconnected and idle time as its member\n"
    "              measured it, the limit that applies and when it ends the\n"
    "              session, or why not (a dry run); -j JSON Lines; -x this\n"
    "              host's only, as record lines; --enforce ends this host's\n"
    "              sessions that are over a limit (the timer's run)\n"
    "  notify      shows the text read from standard input (at most 64 KiB,\n"
    "              control characters but line breaks removed) on the\n"
    "              displays of the sessions that match; more than one only\n"
    "              with -a\n"
    "\n"
    "  -u LOGIN    sessions of this Unix login (or numeric user id)\n"
    "  -t TOKEN    sessions of this token (logical or raw id, any letter case)\n"
    "  -d DISPLAY  the session of this display\n"
    "  -w SECONDS  a member's deadline to answer (default 20)\n"
    "  -P N        members asked at a time (default 32)\n"
    "\n"
    "Exit status: 0 every member answered (and every action succeeded);\n"
    "1 a member failed, no session matched, the -a rule refused, or an action\n"
    "failed; 2 a usage error or a bad members or limits file; 3 metrics not\n"
    "written. limits --enforce: 0 the run completed, 1 it refused to act or\n"
    "an action failed, 2 a bad limits file.\n";

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
    bool enforce = false;
    std::string far_notice;  // notify -x: the notice, base64
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
    else if (c.verb == "terminate" || c.verb == "suspend" || c.verb == "resume" ||
             c.verb == "notify")
        opts = "+aw:P:u:t:d:";
    else if (c.verb == "metrics")
        opts = "+w:P:o:";
    else if (c.verb == "limits")
        opts = "+xjw:P:";
    else
        usage("unknown command: " + vk::one_line(c.verb, 40));
    if (c.verb == "limits" && argc > 2 && std::strcmp(argv[2], "--enforce") == 0) {
        if (argc > 3) usage("limits --enforce takes nothing more");
        c.enforce = true;
        return c;
    }
    if (c.verb == "notify" && argc > 2 && std::strcmp(argv[2], "-x") == 0) {
        // The far side of a notice, as the gate lets it through.
        if (argc != 6 || std::strcmp(argv[3], "-d") != 0)
            usage("notify -x takes -d DISPLAY and the notice");
        set_value(c.filter.display, argv[4], 4, "-d");
        c.format = 'x';
        c.far_notice = argv[5];
        return c;
    }
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
    if (c.verb == "limits" && c.format == 'x' && (argc != 3 || !c.servers.empty()))
        usage("limits -x takes nothing more: it answers for this host only");
    bool acting = c.verb == "terminate" || c.verb == "suspend" || c.verb == "resume";
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
                         vk::one_line(w).c_str());
        if (!a.answered)
            std::fprintf(stderr, "vkgroup: %s: %s\n", a.member.name.c_str(),
                         vk::one_line(a.reason).c_str());
    }
}

std::string describe(const Listing &l, const Session &s) {
    const vk_UserSession_t r = session_record(s);
    const char *token = _vk_getDisplayToken(&r);
    return vk::terminal_text(l.server(s)) + " " + vk::terminal_text(r.dispNo ? r.dispNo : "?") +
           " " + vk::terminal_text(token ? token : "???");
}

int list(const Command &c, const std::vector<Member> &members) {
    Options opt = c.opt;
    opt.names = c.format == 't';
    Listing l = list_sessions(members, c.filter, opt);
    if (c.format == 'x') {
        // A far side's bytes reach a terminal only escaped: they could
        // carry escape sequences. A pipe gets the records as they are.
        print_records(stdout, l, ::isatty(STDOUT_FILENO) == 1);
    } else {
        // The measured times come from each member's limits; a bad limits
        // file here only leaves this host's sessions unmeasured.
        Limits limits;
        std::string error;
        read_limits(kLimitsFile, limits, error);
        MeasuredTimes times = measured_times(l, c.opt, limits);
        if (c.format == 'j')
            print_json(stdout, l, times);
        else
            print_table(stdout, l, times);
    }
    std::fflush(stdout);
    report(l);
    return l.all_answered() ? 0 : 1;
}

int64_t now_seconds() {
    return static_cast<int64_t>(::time(nullptr));
}

int metrics(const Command &c, const std::vector<Member> &members) {
    Listing l = list_sessions(members, {}, c.opt);
    std::string text = metrics_text(l);
    report(l);
    // The limits of the members that answered: a member whose dry run
    // fails still has its sessions counted above.
    Limits limits;
    std::string limits_error;
    if (read_limits(kLimitsFile, limits, limits_error)) {
        std::vector<Member> answered;
        for (const MemberAnswer &a : l.members)
            if (a.answered) answered.push_back(a.member);
        std::vector<MemberLimits> all = group_limits(answered, c.opt, limits);
        for (const MemberLimits &ml : all)
            if (!ml.answer.answered)
                std::fprintf(stderr, "vkgroup: %s: limits: %s\n", ml.answer.member.name.c_str(),
                             vk::one_line(ml.answer.reason).c_str());
        text += limits_metrics_text(all, now_seconds());
    } else {
        std::fprintf(stderr, "vkgroup: %s; no limits in the metrics\n", limits_error.c_str());
    }
    if (c.out_file.empty()) {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    } else {
        std::string error;
        if (!vk::write_file_atomically(c.out_file, text, 0644, error)) {
            std::fprintf(stderr, "vkgroup: %s\n", error.c_str());
            return 3;
        }
    }
    return l.all_answered() ? 0 : 1;
}

// Whether the matching sessions may be acted on: at least one, and more
// than one only with -a.
bool may_act(const Command &c, const Listing &l) {
    if (l.sessions.empty()) {
        std::fprintf(stderr, "vkgroup: No session found!\n");
        return false;
    }
    if (l.sessions.size() > 1 && !c.all) {
        std::fprintf(stderr, "vkgroup: %zu sessions match; nothing was done:\n", l.sessions.size());
        for (const Session &s : l.sessions) std::fprintf(stderr, "  %s\n", describe(l, s).c_str());
        std::fprintf(stderr, "vkgroup: use -a to act on all of them, or more filters\n");
        return false;
    }
    return true;
}

int print_outcomes(const Listing &l, const std::vector<Outcome> &outcomes, int status) {
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const Outcome &o = outcomes[i];
        if (o.ok) {
            std::printf("%s: done\n", describe(l, l.sessions[i]).c_str());
        } else {
            std::printf("%s: failed (%s)\n", describe(l, l.sessions[i]).c_str(),
                        vk::one_line(o.message).c_str());
            status = 1;
        }
    }
    return status;
}

Limits limits_or_exit() {
    Limits limits;
    std::string error;
    if (!read_limits(kLimitsFile, limits, error)) {
        std::fprintf(stderr, "vkgroup: %s\n", error.c_str());
        std::exit(2);
    }
    return limits;
}

// This host's run of the limits, from the timer: it says what it did on
// standard output, and why it refused on standard error.
int enforce_limits() {
    const Limits limits = limits_or_exit();
    LimitsRun run = run_limits(limits, true, now_seconds());
    for (const LimitEntry &e : run.entries) {
        if (e.note != "ended" && e.note != "suspended" && e.note != "warned" &&
            e.note.rfind("failed", 0) != 0 && e.note != "notice failed")
            continue;
        std::printf("display %s, token %s, user %s: %s (%s limit)\n",
                    vk::terminal_text(e.display).c_str(), vk::terminal_text(e.token).c_str(),
                    e.login.empty() ? "-" : vk::terminal_text(e.login).c_str(), e.note.c_str(),
                    e.limit.c_str());
    }
    std::fflush(stdout);
    if (!run.refused.empty()) {
        std::fprintf(stderr, "vkgroup: limits: %s\n", run.refused.c_str());
        log_admin("vkgroup", "limits: %s", run.refused.c_str());
        return 1;
    }
    return run.failed ? 1 : 0;
}

int show_limits(const Command &c, const std::vector<Member> &members) {
    const Limits limits = limits_or_exit();
    if (c.format == 'x') {
        print_limit_records(stdout, run_limits(limits, false, now_seconds()));
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    std::vector<MemberLimits> all = group_limits(members, c.opt, limits);
    const int64_t now = now_seconds();
    if (c.format == 'j')
        print_limits_json(stdout, all, now);
    else
        print_limits_table(stdout, all, now);
    std::fflush(stdout);
    int status = 0;
    for (const MemberLimits &ml : all) {
        if (!ml.answer.answered) {
            std::fprintf(stderr, "vkgroup: %s: %s\n", ml.answer.member.name.c_str(),
                         vk::one_line(ml.answer.reason).c_str());
            status = 1;
        } else if (!ml.refused.empty()) {
            std::fprintf(stderr, "vkgroup: %s: would not act: %s\n", ml.answer.member.name.c_str(),
                         vk::one_line(ml.refused).c_str());
        }
    }
    return status;
}

std::vector<size_t> every(const Listing &l) {
    std::vector<size_t> all(l.sessions.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    return all;
}

int act_on(const Command &c, const std::vector<Member> &members) {
    Listing l = list_sessions(members, c.filter, c.opt);
    report(l);
    if (!may_act(c, l)) return 1;
    Action a = c.verb == "terminate" ? Action::Terminate
               : c.verb == "suspend" ? Action::Suspend
                                     : Action::Resume;
    return print_outcomes(l, act(a, l, every(l), c.opt), l.all_answered() ? 0 : 1);
}

// A notice from a member's vkgroup notify: shown on this host's display.
int far_notice(const Command &c) {
    auto text = c.far_notice.size() <= (kMaxNotice + 2) / 3 * 4 ? base64_decode(c.far_notice)
                                                                : std::nullopt;
    if (!text) usage("the notice is not base64 of at most 64 KiB");
    std::string why;
    if (show_notice(*c.filter.display, notice_text(*text), why)) return 0;
    std::printf("vkgroup: %s\n", why.c_str());
    return 1;
}

int notify(const Command &c, const std::vector<Member> &members) {
    // The text first: nothing is listed for a notice that is not there.
    std::string raw;
    char buf[8192];
    while (raw.size() < kMaxNotice + 4) {
        size_t n = std::fread(buf, 1, std::min(sizeof buf, kMaxNotice + 4 - raw.size()), stdin);
        if (n == 0) break;
        raw.append(buf, n);
    }
    const std::string text = notice_text(raw);
    if (text.find_first_not_of(" \n") == std::string::npos) usage("no text on standard input");
    Listing l = list_sessions(members, c.filter, c.opt);
    report(l);
    if (!may_act(c, l)) return 1;
    return print_outcomes(l, notify_sessions(l, every(l), text, c.opt), l.all_answered() ? 0 : 1);
}

}  // namespace

int main(int argc, char **argv) {
    vk::use_user_language();
    Command c = parse(argc, argv);
    if (c.enforce) return enforce_limits();
    if (c.verb == "notify" && c.format == 'x') return far_notice(c);
    if (c.verb == "limits" && c.format == 'x') return show_limits(c, {});
    std::vector<Member> members = members_of(c);
    if (c.verb == "list") return list(c, members);
    if (c.verb == "metrics") return metrics(c, members);
    if (c.verb == "limits") return show_limits(c, members);
    if (c.verb == "notify") return notify(c, members);
    return act_on(c, members);
}
