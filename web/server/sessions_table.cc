// The sessions table: the group's sessions, filtered and sorted, each row
// with its buttons, in one form for the ticked rows.
#include <algorithm>
#include <strings.h>

#include "html.h"
#include "listing_cache.h"

namespace vkweb {

namespace {

std::string legend() {
    return "<p class=\"legend\">State: <b>D</b> disconnected, <b>I</b> idle, <b>S</b> suspended, "
           "<b>E</b> encrypted, <b>A</b> authenticated; none of them: connected.</p>\n";
}

std::string failed_members(const Listing &l) {
    std::string out;
    for (const MemberAnswer &a : l.members) {
        if (!a.answered)
            out += "<li class=\"down\" data-server=\"" + esc(a.member.name) + "\"><b>" +
                   esc(a.member.name) + "</b>: " + esc(a.reason) + "</li>\n";
        for (const std::string &w : a.warnings)
            out += "<li class=\"warning\" data-server=\"" + esc(a.member.name) + "\"><b>" +
                   esc(a.member.name) + "</b>: " + esc(w) + "</li>\n";
    }
    return out.empty() ? out : "<ul id=\"problems\">\n" + out + "</ul>\n";
}

const std::array<const char *, 6> kColumns = {"server", "token",   "name",
                                              "login",  "display", "state"};

std::string column_text(const Listing &l, const Session &s, const std::string &column) {
    if (column == "server") return l.server(s);
    if (column == "token") return display_token(s);
    if (column == "name") return or_unknown(s.name());
    if (column == "login") return or_unknown(s.text(Field::Login));
    if (column == "display") return s.text(Field::Display) ? s.text(Field::Display) : "";
    return s.state_letters();
}

// Displays sort as numbers where they are numbers.
bool before(const std::string &a, const std::string &b, const std::string &column) {
    if (column == "display") {
        auto digit = [](char c) { return c >= '0' && c <= '9'; };
        bool na = !a.empty() && std::all_of(a.begin(), a.end(), digit);
        bool nb = !b.empty() && std::all_of(b.begin(), b.end(), digit);
        if (na && nb && a.size() != b.size()) return a.size() < b.size();
    }
    return a < b;
}

bool matches(const Listing &l, const Session &s, const std::map<std::string, std::string> &f) {
    auto get = [&f](const char *k) {
        auto it = f.find(k);
        return it == f.end() ? std::string() : it->second;
    };
    std::string server = get("server"), login = get("login"), token = get("token"),
                display = get("display");
    if (!server.empty() && strcasecmp(server.c_str(), l.server(s).c_str()) != 0) return false;
    if (!login.empty() && (!s.text(Field::Login) || login != s.text(Field::Login))) return false;
    if (!display.empty() && (!s.text(Field::Display) || display != s.text(Field::Display)))
        return false;
    if (!token.empty()) {
        const char *t = s.text(Field::Token), *raw = s.text(Field::RawToken);
        if (!(t && strcasecmp(t, token.c_str()) == 0) &&
            !(raw && strcasecmp(raw, token.c_str()) == 0))
            return false;
    }
    return true;
}

// The three actions as buttons: on the ticked rows (name "action"), or on
// one row (name "one", its value the action, a dot and the row's key).
std::string action_buttons(const std::string &key = "") {
    std::string out;
    for (const char *a : {"terminate", "suspend", "resume"}) {
        std::string label = a;
        label[0] = static_cast<char>(label[0] - 'a' + 'A');
        add(out, {"<button class=\"act\" type=\"submit\" name=\"", key.empty() ? "action" : "one",
                  "\" value=\"", a, key.empty() ? "" : ".", key, "\">", label, "</button>"});
    }
    return out;
}

// The rows of the sessions table for a filter and an order (`view`).
std::string table_rows(const Snapshot &snap, const std::map<std::string, std::string> &filter,
                       const std::string &sort, bool descending) {
    const Listing &l = snap.listing;
    std::vector<size_t> shown;
    for (size_t i = 0; i < l.sessions.size(); ++i)
        if (matches(l, l.sessions[i], filter)) shown.push_back(i);
    if (!sort.empty()) {
        std::vector<std::pair<std::string, size_t>> keyed;
        keyed.reserve(shown.size());
        for (size_t i : shown) keyed.emplace_back(column_text(l, l.sessions[i], sort), i);
        std::stable_sort(keyed.begin(), keyed.end(), [&](const auto &a, const auto &b) {
            return descending ? before(b.first, a.first, sort) : before(a.first, b.first, sort);
        });
        for (size_t k = 0; k < keyed.size(); ++k) shown[k] = keyed[k].second;
    }
    std::string rows = "<p class=\"count\">" + std::to_string(shown.size()) + " of " +
                       std::to_string(l.sessions.size()) + " sessions</p>\n";
    std::string body;
    body.reserve(shown.size() * 480);
    for (size_t i : shown) {
        const Session &s = l.sessions[i];
        const std::string &key = snap.keys[i];
        const char *login = s.text(Field::Login), *disp = s.text(Field::Display);
        std::string server = esc(l.server(s)), token = esc(display_token(s));
        const SessionTimes *times = times_of(snap, i);
        add(body, {"<tr class=\"session\" data-server=\"",
                   server,
                   "\" data-token=\"",
                   token,
                   "\">",
                   "<td class=\"pick\"><input type=\"checkbox\" name=\"s\" value=\"",
                   key,
                   "\"></td>",
                   "<td class=\"server\">",
                   server,
                   "</td>",
                   "<td class=\"token\"><a href=\"/session?key=",
                   key,
                   "\">",
                   token,
                   "</a></td>",
                   "<td class=\"name\">",
                   esc(or_unknown(s.name())),
                   "</td>",
                   "<td class=\"login\">",
                   esc(or_unknown(login)),
                   "</td>",
                   "<td class=\"display\">",
                   esc(disp ? disp : ""),
                   "</td>",
                   "<td class=\"state\">",
                   state_html(s),
                   "</td>",
                   "<td class=\"disconnected-for\">",
                   esc(duration_or_dash(times ? times->disconnected_s : std::nullopt)),
                   "</td>",
                   "<td class=\"ends-in\">",
                   esc(ends_in(times)),
                   "</td>",
                   "<td class=\"actions\">",
                   action_buttons(key),
                   "</td></tr>\n"});
    }
    return rows + body;
}

}  // namespace

// Where the rows go in the page: no text shown can hold it, as every text
// is escaped and control characters shown as "?".
constexpr std::string_view kRowsHere = "\x01rows\x01";

HttpResponse sessions_page(const HttpRequest &r, const Who &who, const Snapshot &snap_ref) {
    std::map<std::string, std::string> filter;
    for (const char *k : {"server", "login", "token", "display"}) {
        std::string v = query_value(r, k);
        if (!plain_text(v, 255))
            return problem(400, "Sessions", "That filter cannot be used.", who);
        if (!v.empty()) filter[k] = v;
    }
    std::string sort = query_value(r, "sort"), order = query_value(r, "order");
    if (std::find(kColumns.begin(), kColumns.end(), sort) == kColumns.end()) sort.clear();
    bool descending = !sort.empty() && order == "desc";

    const Snapshot *snap = &snap_ref;
    std::string view = sort + (descending ? "-" : "+");
    for (const auto &[k, v] : filter) add(view, {"\x1f", k, "=", v});
    std::shared_ptr<const Table> table;
    {
        std::lock_guard<std::mutex> lock(const_cast<Snapshot &>(*snap).lane);
        auto &tables = const_cast<Snapshot &>(*snap).tables;
        if (auto it = tables.find(view); it != tables.end()) {
            table = it->second;
        } else {
            auto made = std::make_shared<Table>();
            made->text = table_rows(*snap, filter, sort, descending);
            made->at = made->text.find("</p>\n") + 5;  // the count, then the rows
            auto rows = deflated(std::string_view(made->text).substr(made->at));
            if (!rows) return problem(500, "Sessions", "The page cannot be made now.", who);
            made->rows = std::move(*rows);
            table = made;
            if (tables.size() < 32) tables.emplace(view, table);
        }
    }
    const std::string *rows = &table->text;
    const size_t at = table->at;

    std::string keep;  // the filters, for the sort links
    for (const auto &[k, v] : filter) keep += "&" + k + "=" + url_encode(v);
    std::string head;
    const char *titles[] = {"Server", "Token", "Registered Name", "Unix ID", "Display", "State"};
    for (size_t i = 0; i < kColumns.size(); ++i) {
        bool current = sort == kColumns[i];
        std::string next = current && !descending ? "desc" : "asc";
        add(head, {"<th><a class=\"sort\" data-column=\"", kColumns[i], "\" href=\"/sessions?sort=",
                   kColumns[i], "&order=", next, keep, "\">", titles[i],
                   current ? (descending ? " \xe2\x96\xbe" : " \xe2\x96\xb4") : "", "</a></th>"});
    }
    auto field = [&filter](const char *name, const char *label) {
        auto it = filter.find(name);
        return std::string("<label>") + label + " <input name=\"" + name + "\" value=\"" +
               (it == filter.end() ? "" : esc(it->second)) + "\" maxlength=\"255\"></label>\n";
    };
    std::string content;
    content.reserve(rows->size() + 4096);
    content += failed_members(snap->listing) +
               "<form id=\"filter\" method=\"get\" action=\"/sessions\">\n" +
               field("server", "Server") + field("login", "Unix ID") + field("token", "Token") +
               field("display", "Display") +
               "<button type=\"submit\">Filter</button> <a href=\"/sessions\">all</a>\n</form>\n";
    content.append(*rows, 0, at);
    content += legend() +
               // One form holds the table: the buttons above act on the ticked
               // rows, each row's own buttons on that row.
               "<form id=\"bulk\" method=\"post\" action=\"/confirm\">"
               "<input type=\"hidden\" name=\"csrf\" value=\"" +
               masked(who.csrf) +
               "\">"
               "<p class=\"selected\">Ticked sessions: " +
               action_buttons() +
               "</p>\n"
               "<table id=\"sessions\">\n<thead><tr><th class=\"pick\"></th>" +
               head +
               "<th>Disconnected for</th><th>Ends in</th><th>Actions</th></tr></thead>\n<tbody>\n";
    // The rows go in last: in a compressed page, as they were compressed
    // once for every page that shows them.
    content += kRowsHere;
    content += "</tbody>\n</table>\n</form>\n";
    std::string framed = page("Sessions", who, content);
    const size_t here = framed.find(kRowsHere);
    const std::string_view before = std::string_view(framed).substr(0, here),
                           after = std::string_view(framed).substr(here + kRowsHere.size());
    if (accepts_gzip(r)) {
        auto first = deflated(before), last = deflated(after);
        if (first && last) {
            HttpResponse res = html(200, gzip_of({&*first, &table->rows, &*last}));
            res.content_encoding = "gzip";
            return res;
        }
    }
    std::string body;
    body.reserve(framed.size() + rows->size() - at);
    add(body, {before, std::string_view(*rows).substr(at), after});
    return html(200, std::move(body));
}

}  // namespace vkweb
