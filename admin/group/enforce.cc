#include "enforce.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <csignal>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "group.h"
#include "messages.h"
#include "notify.h"
#include "vkadmin.h"
#include "vkcxx.h"

namespace vkgroup {

namespace {

constexpr const char *kLimitNames[3] = {"disconnected", "idle", "lifetime"};
constexpr const char *kProcDir = "/tmp/KELWvk/session_proc/";
constexpr const char *kManagerDown =
    "the authentication manager cannot be asked: every session would look disconnected; "
    "nothing is measured or ended";

size_t limit_index(const std::string &limit) {
    for (size_t i = 0; i < 3; ++i)
        if (limit == kLimitNames[i]) return i;
    return 0;
}

bool digits(const std::string &s) {
    return !s.empty() && s.size() <= 4 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether the library could not ask this host's authentication manager
// while it read the sessions: it then reports every session disconnected,
// which must never be taken for the truth. The library says so in its
// diagnostics, at the moment it decides, so no second question to the
// manager can disagree with the answer it used. (The diagnostics must not
// be muted while the sessions are read.)
bool manager_failed = false;

void watch(const char *text) {
    if (std::strncmp(text, "set_state(): failed to contact authd", 36) == 0) manager_failed = true;
}

// When the session of `r` on `display` started: its session proc file is
// written once, when the session starter starts it. The enumeration
// examined the file as it read it; a session it joined to none is looked at
// here, in `dir`, the session proc directory opened once for the run.
std::optional<int64_t> started(const vk_UserSession_t *r, int dir, const std::string &display) {
    int64_t when = 0;
    if (_vk_getSessionStart(r, &when) == VK_OK) return when;
    if (dir < 0 || !digits(display)) return std::nullopt;
    struct stat st;
    if (::fstatat(dir, display.c_str(), &st, 0) != 0) return std::nullopt;
    return static_cast<int64_t>(st.st_mtime);
}

std::string key_of(const LimitEntry &e) {
    return e.display + '\t' + (e.started ? std::to_string(*e.started) : "-") + '\t' + e.raw_token +
           '\t' + e.login;
}

const char *text_or(const char *s, const char *absent) {
    return s ? s : absent;
}

// The run's lock: runs of the timer and of an administrator at once must
// not end a session twice.
vk::Fd take_lock(const std::string &path, std::string &error) {
    // The state's directory is made on the first run, root's alone.
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) ::mkdir(path.substr(0, slash).c_str(), 0700);
    vk::Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
        error = path + ": " + std::strerror(errno);
        return fd;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? "another run of the limits holds " + path
                                     : path + ": " + std::strerror(errno);
        fd.reset();
    }
    return fd;
}

}  // namespace

void decide(const Limits &limits, LimitEntry &e, const Timing *timing, int64_t now) {
    e.limit.clear();
    e.limit_s.reset();
    e.ends_at.reset();
    e.due = e.warn_now = false;
    auto consider = [&e](const char *limit, int64_t length, int64_t end) {
        if (!e.ends_at || end < *e.ends_at) {
            e.limit = limit;
            e.limit_s = length;
            e.ends_at = end;
        }
    };
    if (limits.disconnected && e.disconnected_s)
        consider("disconnected", *limits.disconnected,
                 now - *e.disconnected_s + *limits.disconnected);
    if (limits.idle && e.idle_s) consider("idle", *limits.idle, now - *e.idle_s + *limits.idle);
    bool warn_now = false;
    if (limits.lifetime && e.started) {
        int64_t end = *e.started + *limits.lifetime;
        if (!(e.state & VK_SESSION_DISCONNECTED)) {
            // Someone may be at the display: never end it without the
            // notice, and never sooner than `warn` after it.
            if (timing && timing->warned_at) {
                end = std::max(end, *timing->warned_at + limits.warn);
            } else if (now >= end - limits.warn) {
                warn_now = true;
                end = std::max(end, now + limits.warn);
            }
        }
        consider("lifetime", *limits.lifetime, end);
    }
    e.warn_now = warn_now && e.limit == "lifetime";
    if (e.ends_at && *e.ends_at <= now) {
        e.due = true;
        if (limits.action == LimitAction::Suspend && (e.state & VK_SESSION_SUSPENDED)) {
            e.due = false;
            e.note = "already suspended";
        }
    }
}

LimitsRun run_limits(const Limits &limits, bool enforce, int64_t now,
                     const std::string &observed_path, const std::string &lock_path) {
    LimitsRun run;
    vk::Fd lock;
    if (enforce) {
        std::string error;
        lock = take_lock(lock_path, error);
        if (!lock) {
            run.refused = error;
            return run;
        }
    }
    Observed observed;
    std::string state_error;
    observed.load(observed_path, state_error);  // lost times start again: never early

    std::vector<Record> records;
    manager_failed = false;
    vk_watchDiagnostics(watch);
    // Thousands of records are held at once and only read (an end of one
    // replaces no text of it): each keeps its texts in one block.
    vk_packUserSessionTexts(1);
    int rc = vk_setUserSessionEnt(nullptr, nullptr);
    vk_watchDiagnostics(nullptr);
    if (rc == VK_OK) {
        vk_UserSession_t *s = nullptr;
        while (vk_getUserSessionEnt(&s) == VK_OK) records.emplace_back(s);
        vk_endUserSessionEnt();
    }
    vk_packUserSessionTexts(0);
    if (rc != VK_OK && rc != VK_ERR_NOT_FOUND) {
        // Without the sessions, no time can be vouched for: forget it all.
        run.refused = std::string("the sessions cannot be read (") + vk::message(rc) +
                      "); nothing is measured or ended";
        if (enforce) {
            observed.observe({}, now, false, false);
            observed.save(observed_path, state_error);
        }
        std::copy(observed.ended(), observed.ended() + 3, run.ended_total);
        return run;
    }
    const bool manager_ok = !manager_failed;
    if (!manager_ok) run.refused = kManagerDown;

    std::vector<Sighting> seen;
    seen.reserve(records.size());
    run.entries.reserve(records.size());
    const vk::Fd proc_dir(::open(kProcDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const Record &r : records) {
        LimitEntry e;
        e.display = text_or(r->dispNo, "");
        e.token = text_or(_vk_getDisplayToken(r.get()), "");
        e.raw_token = text_or(r->rawtoken, "");
        e.login = text_or(r->unixID, "");
        e.state = r->state;
        e.started = started(r.get(), proc_dir.get(), e.display);
        seen.push_back({key_of(e), (e.state & VK_SESSION_DISCONNECTED) != 0,
                        (e.state & VK_SESSION_IDLE) != 0});
        run.entries.push_back(std::move(e));
    }
    if (enforce) observed.observe(seen, now, manager_ok, true);

    unsigned due = 0;
    for (size_t i = 0; i < run.entries.size(); ++i) {
        LimitEntry &e = run.entries[i];
        const Timing *t = observed.find(seen[i].key);
        if (t && t->disconnected_since && manager_ok)
            e.disconnected_s = now - *t->disconnected_since;
        if (t && t->idle_since) e.idle_s = now - *t->idle_since;
        if (auto why = exemption(limits, e.login, e.token, e.raw_token, e.display)) {
            e.note = *why;
            e.limit.clear();
            continue;
        }
        decide(limits, e, t, now);
        if (!manager_ok && (e.due || e.warn_now)) e.note = "manager unreachable";
        if (e.due) ++due;
    }
    if (manager_ok && due > limits.max_per_run) {
        run.refused = std::to_string(due) + " sessions are over their limits, more than " +
                      "max-per-run (" + std::to_string(limits.max_per_run) + "): none is ended";
        for (LimitEntry &e : run.entries)
            if (e.due) e.note = "over max-per-run";
    }

    if (enforce && run.refused.empty()) {
        for (size_t i = 0; i < run.entries.size(); ++i) {
            LimitEntry &e = run.entries[i];
            if (e.warn_now && e.ends_at) {
                std::string why;
                if (show_notice(e.display, warn_notice(limits, *e.ends_at, *e.ends_at - now),
                                why)) {
                    observed.set_warned(seen[i].key, now);
                    e.note = "warned";
                } else {
                    e.note = "notice failed";
                }
            }
            if (!e.due) continue;
            const bool suspend = limits.action == LimitAction::Suspend;
            int result = suspend ? vk_suspendUserSession(records[i].get())
                                 : vk_terminateUserSession(records[i].get());
            const int64_t measured = e.limit == "disconnected" ? e.disconnected_s.value_or(0)
                                     : e.limit == "idle"       ? e.idle_s.value_or(0)
                                                               : now - e.started.value_or(now);
            if (result == VK_OK) {
                e.note = suspend ? "suspended" : "ended";
                ++run.ended[limit_index(e.limit)];
                observed.count_ended(limit_index(e.limit));
            } else {
                e.note = std::string("failed: ") + vk::message(result);
                ++run.failed;
            }
            log_admin("vkgroup",
                      "limits: %s session of display %s, token %s, user %s: %s limit, %s for "
                      "%lld s%s%s",
                      suspend ? "suspended" : "terminated", e.display.c_str(), e.token.c_str(),
                      e.login.empty() ? "-" : e.login.c_str(), e.limit.c_str(),
                      e.limit == "lifetime" ? "alive" : e.limit.c_str(),
                      static_cast<long long>(measured), result == VK_OK ? "" : ": failed, ",
                      result == VK_OK ? "" : vk::message(result));
        }
    }
    if (enforce && !observed.save(observed_path, state_error) && run.refused.empty())
        run.refused = state_error;
    std::copy(observed.ended(), observed.ended() + 3, run.ended_total);
    return run;
}

}  // namespace vkgroup
