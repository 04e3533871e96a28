// The overview: every member of the group, up or down, and its sessions by
// state, in a table and in a chart drawn here.
#include <algorithm>
#include <cstdio>

#include "html.h"
#include "listing_cache.h"

namespace vkweb {

namespace {

struct Counts {
    size_t connected = 0, disconnected = 0, idle = 0, suspended = 0;
};

std::vector<Counts> count_states(const Listing &l) {
    std::vector<Counts> c(l.members.size());
    for (const Session &s : l.sessions) {
        Counts &m = c[s.member];
        int st = s.state();
        if (st & kDisconnected)
            ++m.disconnected;
        else
            ++m.connected;
        if (st & kIdle) ++m.idle;
        if (st & kSuspended) ++m.suspended;
    }
    return c;
}

// A bar chart of the members' sessions by state, drawn here: no script, no
// font or style from elsewhere; its colours come from the page's style sheet.
std::string chart(const Listing &l, const std::vector<Counts> &counts) {
    const int label = 150, width = 420, bar = 12, gap = 2, group = 4 * (bar + gap) + 14;
    size_t most = 1;
    for (const Counts &c : counts)
        most = std::max({most, c.connected, c.disconnected, c.idle, c.suspended});
    int height = static_cast<int>(l.members.size()) * group + 20;
    std::string svg = "<svg id=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
                      std::to_string(label + width + 120) + " " + std::to_string(height) +
                      "\" role=\"img\" aria-label=\"Sessions of each member by state\">\n";
    for (size_t i = 0; i < l.members.size(); ++i) {
        const auto &a = l.members[i];
        int y = static_cast<int>(i) * group + 10;
        svg += "<text class=\"member\" x=\"0\" y=\"" + std::to_string(y + 2 * (bar + gap)) + "\">" +
               esc(a.member.name) + "</text>\n";
        if (!a.answered) {
            svg += "<text class=\"down\" x=\"" + std::to_string(label) + "\" y=\"" +
                   std::to_string(y + 2 * (bar + gap)) + "\">down: no answer</text>\n";
            continue;
        }
        const std::pair<const char *, size_t> bars[] = {{"connected", counts[i].connected},
                                                        {"disconnected", counts[i].disconnected},
                                                        {"idle", counts[i].idle},
                                                        {"suspended", counts[i].suspended}};
        for (size_t k = 0; k < 4; ++k) {
            int by = y + static_cast<int>(k) * (bar + gap);
            int w = static_cast<int>(static_cast<double>(bars[k].second) * width /
                                     static_cast<double>(most));
            std::string n = std::to_string(bars[k].second);
            add(svg, {"<rect class=\"bar state-",
                      bars[k].first,
                      "\" data-server=\"",
                      esc(a.member.name),
                      "\" data-state=\"",
                      bars[k].first,
                      "\" data-count=\"",
                      n,
                      "\" x=\"",
                      std::to_string(label),
                      "\" y=\"",
                      std::to_string(by),
                      "\" width=\"",
                      std::to_string(w),
                      "\" height=\"",
                      std::to_string(bar),
                      "\"><title>",
                      esc(a.member.name),
                      ": ",
                      n,
                      " ",
                      bars[k].first,
                      "</title></rect>\n"});
            svg += "<text class=\"count\" x=\"" + std::to_string(label + w + 4) + "\" y=\"" +
                   std::to_string(by + bar - 2) + "\">" + n + " " + bars[k].first + "</text>\n";
        }
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace

HttpResponse overview(const HttpRequest &, const Who &who, const Snapshot &snap) {
    const Listing *l = &snap.listing;
    auto counts = count_states(*l);
    std::string rows;
    for (size_t i = 0; i < l->members.size(); ++i) {
        const auto &a = l->members[i];
        char secs[32];
        std::snprintf(secs, sizeof secs, "%.2f s", a.seconds);
        rows += "<tr data-server=\"" + esc(a.member.name) + "\"><td class=\"server\">" +
                esc(a.member.name) + (a.member.local ? " <small>(this host)</small>" : "") +
                "</td><td class=\"state " + (a.answered ? "up\">up" : "down\">down") +
                "</td><td class=\"reason\">" + esc(a.reason) + "</td><td class=\"seconds\">" +
                secs + "</td><td class=\"sessions\">" +
                (a.answered ? "<a href=\"/sessions?server=" + url_encode(a.member.name) + "\">" +
                                  std::to_string(a.sessions) + "</a>"
                            : "") +
                "</td><td class=\"counts\">" +
                (a.answered ? std::to_string(counts[i].connected) + " connected, " +
                                  std::to_string(counts[i].disconnected) + " disconnected, " +
                                  std::to_string(counts[i].idle) + " idle, " +
                                  std::to_string(counts[i].suspended) + " suspended"
                            : "") +
                "</td></tr>\n";
    }
    std::string content =
        "<table "
        "id=\"members\">\n<thead><tr><th>Server</th><th>State</th><th>Error</th><th>Answered "
        "in</th>"
        "<th>Sessions</th><th>By state</th></tr></thead>\n<tbody>\n" +
        rows + "</tbody>\n</table>\n" + "<figure>\n" + chart(*l, counts) +
        "<figcaption><span class=\"key state-connected\"></span> connected "
        "<span class=\"key state-disconnected\"></span> disconnected "
        "<span class=\"key state-idle\"></span> idle "
        "<span class=\"key state-suspended\"></span> suspended</figcaption>\n</figure>\n";
    return html(200, page("Overview", who, content, true));
}

}  // namespace vkweb
