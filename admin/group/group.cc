#include "group.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "calls.h"
#include "child_signals.h"
#include "fanout.h"
#include "frames.h"

extern char **environ;

namespace vkgroup {

namespace {

// What one member's call may send to this process: the records of the
// most that the library reads of a member's answer. A record's frame is
// mostly shorter than its line, but the member's name as its server, and a
// registered name, may make it longer: half as much again is room enough.
constexpr size_t kMaxAnswer = VK_MAX_REMOTE_ANSWER + VK_MAX_REMOTE_ANSWER / 2;
constexpr const char *kVkrcmd = "/opt/KELWvk/lib/vkrcmd";

FanoutLimits limits_of(const Options &o) {
    FanoutLimits l;
    l.parallel = o.parallel;
    l.deadline = std::chrono::seconds(o.deadline_s);
    l.max_answer = kMaxAnswer;
    return l;
}

// Ends the shared ssh connection to a member that ran into its deadline:
// a master whose far end hangs or is gone would hold every later call.
// Bounded by a few seconds; its output is of no interest.
void close_master(const std::string &host) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    for (int fd = 0; fd < 3; ++fd)
        posix_spawn_file_actions_addopen(&fa, fd, "/dev/null", O_RDWR, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);
    vk::default_signal_attr(attr, POSIX_SPAWN_SETPGROUP);
    const char *argv[] = {kVkrcmd, "--close", host.c_str(), nullptr};
    char path_env[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char *envp[] = {path_env, nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, kVkrcmd, &fa, &attr, const_cast<char *const *>(argv), envp);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return;
    for (int waited_ms = 0; waited_ms < 3000; waited_ms += 10) {
        int status;
        if (::waitpid(pid, &status, WNOHANG) == pid) return;
        ::poll(nullptr, 0, 10);
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

std::function<void(const Call &)> closer(const std::vector<Member> &members) {
    std::set<std::string> remote;
    for (const Member &m : members)
        if (!m.local) remote.insert(m.name);
    return [remote](const Call &c) {
        if (remote.count(c.label)) close_master(c.label);
    };
}

// "none" anywhere in the value means no encryption or authentication.
bool secured(const char *a, const char *b) {
    return a && b && (!std::strstr(a, "none") || !std::strstr(b, "none"));
}

}  // namespace

std::string state_letters(const vk_UserSession_t *s) {
    std::string l;
    if (s->state & VK_SESSION_DISCONNECTED) l += 'D';
    if (s->state & VK_SESSION_IDLE) l += 'I';
    if (s->state & VK_SESSION_SUSPENDED) l += 'S';
    if (!(s->state & VK_SESSION_DISCONNECTED)) {
        if (secured(s->enc_up, s->enc_down)) l += 'E';
        if (secured(s->auth_up, s->auth_down)) l += 'A';
    }
    return l;
}

bool encrypted(const vk_UserSession_t *s) {
    return !(s->state & VK_SESSION_DISCONNECTED) && secured(s->enc_up, s->enc_down);
}

Listing list_sessions(const std::vector<Member> &members, const Filter &filter,
                      const Options &opt) {
    Listing l;
    for (const Member &m : members) l.members.push_back(MemberAnswer{m, false, {}, {}, 0, 0});
    // The other servers are asked first: their calls wait on the network
    // and the far side, while this host's own listing only needs the
    // processors, which it then takes while the others wait.
    std::vector<size_t> order(members.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_partition(order.begin(), order.end(),
                          [&members](size_t i) { return !members[i].local; });
    std::vector<Call> calls;
    for (size_t i : order) {
        const Member &m = members[i];
        bool names = opt.names;
        calls.push_back(
            {m.name, [m, filter, names](int fd) { return list_call(fd, m, filter, names); }});
    }
    std::vector<CallResult> ordered = run_calls(calls, limits_of(opt), closer(members));
    std::vector<CallResult> results(members.size());
    for (size_t k = 0; k < order.size(); ++k) results[order[k]] = std::move(ordered[k]);

    for (size_t i = 0; i < results.size(); ++i) {
        MemberAnswer &a = l.members[i];
        CallResult &r = results[i];
        a.seconds = r.seconds;
        if (!r.trouble.empty()) {
            a.reason = r.trouble;
            continue;
        }
        std::vector<Session> mine;
        bool done = false;
        for (Frame &f : r.frames) {
            switch (f.type) {
                case FrameType::Line: {
                    // Packed by the member's query, its server set to the
                    // member's name: anything else is no answer of ours.
                    auto session = Session::unpack(i, std::move(f.payload));
                    const char *server = session ? session->text(Field::Server) : nullptr;
                    if (!server || a.member.name != server)
                        a.reason = "answer not understood";
                    else
                        mine.push_back(std::move(*session));
                    break;
                }
                case FrameType::Warning:
                    a.warnings.push_back(f.payload);
                    break;
                case FrameType::Failure:
                    a.reason = f.payload;
                    break;
                case FrameType::Done:
                    done = true;
                    break;
                case FrameType::Outcome:
                    break;
            }
            std::string().swap(f.payload);  // parsed: its memory goes now
        }
        if (!a.reason.empty() || !done) {
            if (a.reason.empty()) a.reason = "no answer";
            continue;
        }
        a.answered = true;
        a.sessions = mine.size();
        // As vksession orders them: by raw token, in the enumeration's
        // order where raw tokens are equal.
        std::stable_sort(mine.begin(), mine.end(), [](const Session &x, const Session &y) {
            const char *rx = x.text(Field::RawToken), *ry = y.text(Field::RawToken);
            return std::strcmp(rx ? rx : "", ry ? ry : "") < 0;
        });
        std::move(mine.begin(), mine.end(), std::back_inserter(l.sessions));
    }
    return l;
}

std::vector<Outcome> act(Action action, const Listing &listing, const std::vector<size_t> &which,
                         const Options &opt) {
    std::vector<Call> calls;
    std::vector<Member> members;
    for (size_t i : which) {
        const Session &s = listing.sessions[i];
        const Member &m = listing.members[s.member].member;
        members.push_back(m);
        vk_UserSession_t r = session_record(s);
        SessionKey key = key_of(&r);
        calls.push_back(
            {m.name, [m, action, key](int fd) { return act_call(fd, m, action, key); }});
    }
    std::vector<CallResult> results = run_calls(calls, limits_of(opt), closer(members));
    std::vector<Outcome> out;
    for (const CallResult &r : results) {
        Outcome o;
        if (!r.trouble.empty()) {
            o.message = r.trouble;
        } else {
            auto f = std::find_if(r.frames.begin(), r.frames.end(),
                                  [](const Frame &x) { return x.type == FrameType::Outcome; });
            if (f == r.frames.end())
                o.message = "no answer";
            else if (f->payload.empty())
                o.ok = true;
            else
                o.message = f->payload;
        }
        out.push_back(std::move(o));
    }
    return out;
}

}  // namespace vkgroup
