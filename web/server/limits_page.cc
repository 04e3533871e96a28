// The session limits as the pages show them: the limits page, and the
// times and ends that the sessions table shows per row.
#include <algorithm>
#include <cstdint>

#include "duration.h"
#include "html.h"
#include "listing_cache.h"

namespace vkweb {

namespace {

// Sessions of one member shown on the limits page at most: the soonest to
// be ended come first, and a page for ten thousand sessions stays small.
constexpr size_t kLimitRows = 100;

std::string member_limits(const Snapshot &snap, size_t m) {
    const Listing &l = snap.listing;
    const MemberAnswer &a = l.members[m];
    const MemberLimitsNote note =
        m < snap.limits.members.size() ? snap.limits.members[m] : MemberLimitsNote{};
    std::string name = esc(a.member.name);
    std::string out = "<section class=\"member-limits\" data-server=\"" + name + "\">\n<h2>" +
                      name + (a.member.local ? " <small>(this host)</small>" : "") + "</h2>\n";
    if (!a.answered)
        return out + "<p class=\"down\">No listing: " + esc(a.reason) + "</p>\n</section>\n";
    if (!note.answered)
        return out + "<p class=\"down\">Its limits could not be asked: " +
               esc(note.text.empty() ? "no answer" : note.text) + "</p>\n</section>\n";
    if (!note.text.empty())
        out += "<p class=\"refused\">Would not act: " + esc(note.text) + "</p>\n";

    std::vector<size_t> under;  // sessions under a limit, or kept from one
    std::vector<std::string> in_force;
    size_t over = 0;
    for (size_t i = 0; i < l.sessions.size(); ++i) {
        const SessionTimes *t = l.sessions[i].member == m ? times_of(snap, i) : nullptr;
        if (!t || (t->limit.empty() && t->note.empty())) continue;
        under.push_back(i);
        if (t->ends_in && *t->ends_in == 0) ++over;
        std::string lt = limit_text(t);
        if (!t->limit.empty() && std::find(in_force.begin(), in_force.end(), lt) == in_force.end())
            in_force.push_back(lt);
    }
    std::string limits;
    for (const std::string &lt : in_force) limits += (limits.empty() ? "" : ", ") + lt;
    out += "<p class=\"in-force\">" + std::to_string(a.sessions) +
           (a.sessions == 1 ? " session, " : " sessions, ") + std::to_string(under.size()) +
           " under a limit or kept from one, " + std::to_string(over) + " over a limit now" +
           (limits.empty() ? "" : "; limits that apply: " + esc(limits)) + ".</p>\n";
    if (under.empty()) return out + "</section>\n";
    std::stable_sort(under.begin(), under.end(), [&snap](size_t x, size_t y) {
        const SessionTimes *tx = times_of(snap, x), *ty = times_of(snap, y);
        return tx->ends_in.value_or(INT64_MAX) < ty->ends_in.value_or(INT64_MAX);
    });
    out +=
        "<table class=\"limits\">\n<thead><tr><th>Token</th><th>Unix ID</th><th>Display</th>"
        "<th>Disconnected for</th><th>Idle for</th><th>Limit</th><th>Ends in</th></tr>"
        "</thead>\n<tbody>\n";
    for (size_t k = 0; k < under.size() && k < kLimitRows; ++k) {
        size_t i = under[k];
        const Session &s = l.sessions[i];
        const SessionTimes *t = times_of(snap, i);
        const char *login = s.text(Field::Login), *disp = s.text(Field::Display);
        std::string token = esc(display_token(s));
        add(out, {"<tr class=\"limit\" data-server=\"",
                  name,
                  "\" data-token=\"",
                  token,
                  "\"><td class=\"token\"><a href=\"/session?key=",
                  snap.keys[i],
                  "\">",
                  token,
                  "</a></td><td class=\"login\">",
                  esc(or_unknown(login)),
                  "</td><td class=\"display\">",
                  esc(disp ? disp : ""),
                  "</td><td class=\"disconnected-for\">",
                  esc(duration_or_dash(t->disconnected_s)),
                  "</td><td class=\"idle-for\">",
                  esc(duration_or_dash(t->idle_s)),
                  "</td><td class=\"limit\">",
                  esc(limit_text(t)),
                  "</td><td class=\"ends-in\">",
                  esc(ends_in(t)),
                  "</td></tr>\n"});
    }
    out += "</tbody>\n</table>\n";
    if (under.size() > kLimitRows)
        out += "<p class=\"more\">and " + std::to_string(under.size() - kLimitRows) +
               " more, to be ended later.</p>\n";
    return out + "</section>\n";
}

}  // namespace

std::string duration_or_dash(const std::optional<int64_t> &s) {
    return s ? vk::human_duration(*s) : "-";
}

const SessionTimes *times_of(const Snapshot &snap, size_t i) {
    return i < snap.limits.sessions.size() && snap.limits.sessions[i] ? &*snap.limits.sessions[i]
                                                                      : nullptr;
}

// When a session's limit ends it, from the listing's time: a duration,
// "now" when it is over its limit, and why not when its member would not
// end it (an exemption, an unreachable manager, too many at once).
std::string ends_in(const SessionTimes *t) {
    if (!t) return "-";
    std::string when;
    if (t->ends_in) when = *t->ends_in == 0 ? "now" : vk::human_duration(*t->ends_in);
    if (t->note.empty()) return when.empty() ? "-" : when;
    return when.empty() ? t->note : when + " (" + t->note + ")";
}

std::string limit_text(const SessionTimes *t) {
    if (!t || t->limit.empty()) return "-";
    return t->limit + " " + duration_or_dash(t->limit_s);
}

HttpResponse limits_page(const HttpRequest &, const Who &who, const Snapshot &snap) {
    std::string content =
        "<p id=\"limits-file\">This host's limits file: " + esc(snap.limits.summary) +
        "</p>\n<p class=\"legend\">Each member ends its own sessions, from its timer when it is "
        "enabled. Below is what each member's run would do now, as of the listing: the "
        "sessions under a limit, soonest first, and why a member would not act. Nothing on "
        "this page ends a session.</p>\n";
    for (size_t m = 0; m < snap.listing.members.size(); ++m) content += member_limits(snap, m);
    return html(200, page("Limits", who, content));
}

}  // namespace vkweb
