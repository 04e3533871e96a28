#include "calls.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>
#include <vector>

#include "admin.h"
#include "frames.h"
#include "host_name.h"
#include "messages.h"
#include "text.h"
#include "utils.h"

namespace vkgroup {

namespace {

// ---- why a call failed, from the library's failure reports
// ---------------------------------------

// The library reports to the system log why a remote call failed; a call
// watches those reports to tell the user. A handful is plenty: a call
// makes one or two library calls.
std::vector<std::string> &reports() {
    static std::vector<std::string> r;
    return r;
}

void watch(const char *text) {
    if (reports().size() < 32) reports().emplace_back(text);
}

bool starts(const std::string &s, const char *prefix) {
    return s.rfind(prefix, 0) == 0;
}

// The text inside "...(" and the last ")" of a report.
std::string inner(const std::string &report, const char *prefix) {
    std::string rest = report.substr(std::strlen(prefix));
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == ' ')) rest.pop_back();
    if (!rest.empty() && rest.back() == ')') rest.pop_back();
    return rest;
}

constexpr const char *kSearchFailed = "remote_search(): remote access failed (";
constexpr const char *kOperationFailed = "remote_operation(): remote access failed (";
constexpr const char *kSkipped = "remote_search(): line without a token name skipped (";
constexpr const char *kTooLong = "remote_search(): record line longer than ";
constexpr const char *kExitStatus = "vk_setUserSessionEnt(): vkrcmd failed (";
constexpr const char *kTooLarge = "remote_search(): answer longer than ";

// What the first line of an answer that is no record or error line says.
std::string not_an_answer(const std::string &line, const std::string &member) {
    const std::string unreachable = "vkrcmd: cannot reach " + member + ": ";
    if (line.rfind(unreachable, 0) == 0)
        return "cannot reach: " + vk::one_line(line.substr(unreachable.size()));
    if (starts(line, "vkrcmd: ")) return vk::one_line(line.substr(8));
    return "answered something other than record lines: " + vk::one_line(line);
}

// The reason for a library result `rc` of a call on `member`, or empty
// when the call succeeded: the library's reports tell more than its code.
std::string reason(int rc, const std::string &member, bool search) {
    for (const std::string &r : reports()) {
        if (rc != 0 && starts(r, kTooLarge)) return "answer too large";
        if (starts(r, kSkipped))
            return "answered something other than record lines: " +
                   vk::one_line(inner(r, kSkipped));
        if (rc == 0) continue;
        if (starts(r, kSearchFailed)) return not_an_answer(inner(r, kSearchFailed), member);
        if (starts(r, kOperationFailed)) return not_an_answer(inner(r, kOperationFailed), member);
        if (starts(r, kTooLong))
            return "answered a line longer than " + vk::one_line(inner(r, kTooLong));
    }
    if (rc == 0 || (search && rc == VK_ERR_NOT_FOUND)) return {};
    if (rc == VK_ERR_INTERNAL) {
        for (const std::string &r : reports())
            if (starts(r, kExitStatus))
                return "the far side ended with status " + inner(r, kExitStatus);
    }
    return std::string(vk::message(rc)) + " (" + std::to_string(rc) + ")";
}

// ---- the filters of vksession
// --------------------------------------------------------------------

bool same(const char *a, const std::optional<std::string> &b) {
    return a && b && strcasecmp(a, b->c_str()) == 0;
}

// The enumeration's filter text: one filter goes to the search, the
// narrowest first.
std::optional<std::string> search_for(const Filter &f) {
    if (f.login) return "unix." + *f.login;
    if (f.display) return "display." + *f.display;
    return f.token;
}

// A login or numeric user id as the numeric user id it stands for on this
// host, as the search resolves it; none for an unknown login.
std::optional<std::string> user_id(const std::string &login) {
    if (login.empty()) return std::nullopt;
    if (std::isdigit(static_cast<unsigned char>(login[0]))) return login;
    const struct passwd *pw = ::getpwnam(login.c_str());
    if (!pw) return std::nullopt;
    return std::to_string(pw->pw_uid);
}

bool same_user(const char *unix_id, const std::string &login) {
    if (!unix_id) return false;  // an idle session has no user
    if (login == unix_id) return true;
    auto a = user_id(login), b = user_id(unix_id);
    return a && b && *a == *b;
}

// Whether a record passes every filter. The search applies one of them,
// and another server's search is that server's word alone: a member that
// answered a session that does not match would make it count here (and an
// action without -a on another server fail for "2 sessions match"). So
// every record, this host's too, is checked against every filter.
bool passes(const vk_UserSession_t *s, const Filter &f) {
    if (f.display && !(s->dispNo && *f.display == s->dispNo)) return false;
    if (f.token && !same(s->tokenName, f.token) && !same(s->rawtoken, f.token)) return false;
    if (f.login && !same_user(s->unixID, *f.login)) return false;
    return true;
}

const char *server_arg(const Member &m) {
    return m.local ? nullptr : m.name.c_str();
}

// An enumeration of one member, ended on scope exit.
struct Enumeration {
    int rc;
    Enumeration(const char *filter, const Member &m)
        : rc(vk_setUserSessionEnt(filter, server_arg(m))) {}
    ~Enumeration() { vk_endUserSessionEnt(); }
    Enumeration(const Enumeration &) = delete;
    Enumeration &operator=(const Enumeration &) = delete;
    Record next() {
        vk_UserSession_t *got = nullptr;
        return Record(vk_getUserSessionEnt(&got) == VK_OK ? got : nullptr);
    }
};

void set_text(char *&field, const std::optional<std::string> &value) {
    std::free(field);
    field = value ? ::strdup(value->c_str()) : nullptr;
}

// The directory, opened quietly as vksession opens it; none when absent.
struct Directory {
    VKAdmin vka = nullptr;
    Directory() {
        set_suppress_output(1);
        int rc = 0;
        vka = open_connection(1, nullptr, nullptr, nullptr, &rc);
        set_suppress_output(0);
    }
    ~Directory() { close_connection(vka); }
    Directory(const Directory &) = delete;
    Directory &operator=(const Directory &) = delete;
    std::optional<std::string> name_of(const vk_UserSession_t *s) const {
        if (!vka) return std::nullopt;
        VKUser *u = _vk_getDisplayUser(vka, s);
        std::optional<std::string> name;
        if (u && u->name) name = u->name;
        free_user(u);
        return name;
    }
};

bool same_session(const vk_UserSession_t *s, const SessionKey &k) {
    auto eq = [](const char *a, const std::optional<std::string> &b) {
        return a ? b && *b == a : !b;
    };
    return eq(s->rawtoken, k.rawtoken) && eq(s->tokenName, k.token) && eq(s->dispNo, k.display);
}

// The filter that finds a session again: its display, else its token.
std::optional<std::string> refind_filter(const SessionKey &k) {
    if (k.display) return "display." + *k.display;
    return k.rawtoken ? k.rawtoken : k.token;
}

int operate(Action a, vk_UserSession_t *s) {
    switch (a) {
        case Action::Terminate:
            return vk_terminateUserSession(s);
        case Action::Suspend:
            return vk_suspendUserSession(s);
        case Action::Resume:
            return vk_resumeUserSession(s);
    }
    return VK_ERR_INVALID_ARGS;
}

// This host's session: found again in a fresh enumeration and acted on as
// vksession acts on it, the user told before a suspension.
std::string act_locally(const Member &m, Action a, const SessionKey &k) {
    auto filter = refind_filter(k);
    Enumeration e(filter ? filter->c_str() : nullptr, m);
    if (e.rc != VK_OK && e.rc != VK_ERR_NOT_FOUND) return reason(e.rc, m.name, true);
    for (Record s = e.next(); s; s = e.next()) {
        if (!same_session(s.get(), k)) continue;
        bool suspended = s->state & VK_SESSION_SUSPENDED;
        if ((a == Action::Suspend && suspended) || (a == Action::Resume && !suspended)) return {};
        if (a == Action::Suspend) {
            vk::notify_suspension(s->dispNo);
            ::sleep(3);
        }
        int rc = operate(a, s.get());
        return rc == VK_OK ? std::string() : reason(rc, m.name, false);
    }
    return "the session is no longer there";
}

// Whether another server's session is suspended now, from its listing.
std::string read_back(const Member &m, Action a, const SessionKey &k) {
    reports().clear();
    auto filter = refind_filter(k);
    Enumeration e(filter ? filter->c_str() : nullptr, m);
    if (e.rc != VK_OK && e.rc != VK_ERR_NOT_FOUND) {
        std::string why = reason(e.rc, m.name, true);
        return "could not read the state back: " + (why.empty() ? std::string("no answer") : why);
    }
    for (Record s = e.next(); s; s = e.next()) {
        if (!same_session(s.get(), k)) continue;
        bool suspended = s->state & VK_SESSION_SUSPENDED;
        if (a == Action::Suspend) return suspended ? std::string() : "the session is not suspended";
        return suspended ? "the session is still suspended" : std::string();
    }
    return "the session is no longer there";
}

// The first line of a far operation's answer when it was no error line
// (the library logs it), or none.
std::optional<std::string> first_line_of_answer() {
    for (const std::string &r : reports())
        if (starts(r, kOperationFailed)) return inner(r, kOperationFailed);
    return std::nullopt;
}

// Another server's session, through the library's remote operation on the
// member that returned it; suspend and resume read back.
std::string act_remotely(const Member &m, Action a, const SessionKey &k) {
    Record s(allocate_userSession());
    if (!s) return vk::message(VK_ERR_NO_MEMORY);
    s->server = ::strdup(m.name.c_str());
    set_text(s->rawtoken, k.rawtoken);
    set_text(s->tokenName, k.token);
    set_text(s->unixID, k.login);
    set_text(s->dispNo, k.display);
    int rc = operate(a, s.get());
    std::optional<std::string> first = first_line_of_answer();
    if (first && starts(*first, "vkrcmd: ")) return not_an_answer(*first, m.name);
    if (a == Action::Terminate || (rc != VK_OK && !first)) {
        if (rc == VK_OK) return {};
        if (first) return not_an_answer(*first, m.name);
        // The far side's error line: its code says what failed.
        return std::string(vk::message(rc)) + " (" + std::to_string(rc) + ")";
    }
    // The far side prints its deprecation warning after a suspend or resume
    // that worked, and the library takes that first line for a failure: the
    // outcome is read back from the member's listing.
    return read_back(m, a, k);
}

}  // namespace

SessionKey key_of(const vk_UserSession_t *s) {
    SessionKey k;
    auto opt = [](const char *v) { return v ? std::optional<std::string>(v) : std::nullopt; };
    k.rawtoken = opt(s->rawtoken);
    k.token = opt(s->tokenName);
    k.login = opt(s->unixID);
    k.display = opt(s->dispNo);
    k.suspended = s->state & VK_SESSION_SUSPENDED;
    return k;
}

int list_call(int fd, const Member &m, const Filter &f, bool names) {
    vk_watchDiagnostics(watch);
    std::optional<std::string> search = search_for(f);
    std::optional<Directory> directory;
    if (names) directory.emplace();
    // The search has read the member's whole answer before its first
    // record is given out, so garbage among the records is known by then:
    // the records go out in batches as they are packed, and this process
    // never holds a second copy of a large answer. The parent still takes
    // them only with the Done frame at the end.
    constexpr size_t kBatch = size_t{256} * 1024;
    std::string frames;
    std::optional<std::string> other_server;
    size_t count = 0;
    {
        Enumeration e(search ? search->c_str() : nullptr, m);
        std::string why = reason(e.rc, m.name, true);
        if (!why.empty()) return write_frame(fd, FrameType::Failure, why) ? 0 : 1;
        if (e.rc == VK_OK) {
            for (Record s = e.next(); s; s = e.next()) {
                if (!passes(s.get(), f)) continue;
                // The session is the member's, whatever its record says.
                if (s->server && !vk::same_host(s->server, m.name) && !other_server)
                    other_server = s->server;
                set_text(s->server, m.name);
                std::optional<std::string> name;
                // A name is a few words; a directory's longer value is cut.
                if (directory) name = directory->name_of(s.get());
                if (name) name->resize(std::min<size_t>(name->size(), 1024));
                frames += encode_frame(FrameType::Line, pack_session(s.get(), name));
                ++count;
                if (frames.size() >= kBatch) {
                    if (!write_all(fd, frames)) return 1;
                    frames.clear();
                }
            }
        }
    }
    if (other_server)
        frames += encode_frame(FrameType::Warning, "a record names another server (" +
                                                       vk::one_line(*other_server) +
                                                       "); taken as " + m.name + "'s own");
    frames += encode_frame(FrameType::Done, std::to_string(count));
    return write_all(fd, frames) ? 0 : 1;
}

int act_call(int fd, const Member &m, Action a, const SessionKey &k) {
    vk_watchDiagnostics(watch);
    std::string why = m.local ? act_locally(m, a, k) : act_remotely(m, a, k);
    return write_frame(fd, FrameType::Outcome, why) ? 0 : 1;
}

}  // namespace vkgroup
