// One session's page, and how a session's token and state show on every
// page that lists it.
#include <map>

#include "html.h"
#include "listing_cache.h"

namespace vkweb {

const char *or_unknown(const char *s) {
    return s ? s : "???";
}

std::string display_token(const Session &s) {
    return or_unknown(s.display_token());
}

// The state letters, each with what it means.
std::string state_html(const Session &s) {
    static const std::map<char, const char *> kMeaning = {{'D', "disconnected"},
                                                          {'I', "idle"},
                                                          {'S', "suspended"},
                                                          {'E', "encrypted"},
                                                          {'A', "authenticated"}};
    std::string out;
    for (char c : s.state_letters())
        out += "<abbr title=\"" + std::string(kMeaning.at(c)) + "\">" + c + "</abbr>";
    return out.empty() ? "<span class=\"connected\">connected</span>" : out;
}

HttpResponse session_page(const HttpRequest &r, const Helper &helper, const Who &who) {
    std::string key = query_value(r, "key");
    double ms = 0;
    auto snap = snapshot(who, r, helper, ms);
    if (!snap) return problem(503, "Session", "The group's sessions cannot be listed now.", who);
    const Session *s = snap->find(key);
    if (!s) return problem(404, "Session", "That session is no longer there.", who);
    const Listing *l = &snap->listing;
    auto v = [s](Field f) { return esc(or_unknown(s->text(f))); };
    std::string content = "<p>Token <b id=\"token\">" + esc(display_token(*s)) + "</b> on <b>" +
                          esc(l->server(*s)) + "</b>, display " + v(Field::Display) + ", Unix ID " +
                          v(Field::Login) + ", state " + state_html(*s) + ".</p>\n";
    if (s->state() & kDisconnected) {
        content +=
            "<p id=\"disconnected\">The session is disconnected: no terminal shows it, so it has "
            "no security configuration now.</p>\n";
    } else {
        content += "<dl id=\"security\">\n";
        const std::pair<const char *, Field> rows[] = {{"encryptUpType", Field::EncUp},
                                                       {"encryptDownType", Field::EncDown},
                                                       {"authenticateUpType", Field::AuthUp},
                                                       {"authenticateDownType", Field::AuthDown},
                                                       {"securityMode", Field::Mode}};
        for (const auto &[name, f] : rows)
            content += "<dt>" + std::string(name) + "</dt><dd>" + v(f) + "</dd>\n";
        const char *primary = s->text(Field::TermPrimary);
        if (primary && *primary)
            content += "<dt>MultiheadGroupName</dt><dd>" + v(Field::MhGroup) +
                       "</dd>\n<dt>primaryCID</dt><dd>" + esc(primary) + "</dd>\n";
        content += "<dt>terminalCIDs</dt><dd>" + v(Field::TermList) + "</dd>\n</dl>\n";
    }
    HttpResponse res = html(200, page("Session", who, content));
    timing(res, ms);
    return res;
}

}  // namespace vkweb
