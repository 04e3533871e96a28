// Actions on sessions: the confirmation that names the sessions, and the
// action itself with its outcome per session.
#include <algorithm>
#include <optional>
#include <variant>

#include "html.h"
#include "listing_cache.h"
#include "requests.h"

namespace vkweb {

namespace {

constexpr size_t kMaxSelected = kMaxActSessions;

struct Selection {
    std::string action;
    std::vector<Ref> refs;
    std::vector<std::string> keys;
};

bool known_action(const std::string &a) {
    return a == "terminate" || a == "suspend" || a == "resume";
}

// The action and the sessions that a form names. Keys are looked up in the
// current listing; a key that names no session there refuses the form.
std::optional<Selection> selection(const HttpRequest &r, const Snapshot &snap) {
    Selection sel;
    auto add = [&](const std::string &key) {
        const Session *s = snap.find(key);
        if (!s || sel.refs.size() == kMaxSelected) return false;
        if (std::find(sel.keys.begin(), sel.keys.end(), key) == sel.keys.end()) {
            sel.refs.push_back(ref_of(snap.listing, *s));
            sel.keys.push_back(key);
        }
        return true;
    };
    // A row's own button: that row alone, whatever else is ticked.
    if (const std::string *one = form_value(r, "one")) {
        size_t dot = one->find('.');
        if (dot == std::string::npos) return std::nullopt;
        sel.action = one->substr(0, dot);
        if (!known_action(sel.action) || !add(one->substr(dot + 1))) return std::nullopt;
        return sel;
    }
    for (const auto &[k, v] : r.form) {
        if (k == "action")
            sel.action = v;
        else if (k == "s" && !add(v))
            return std::nullopt;
    }
    if (!known_action(sel.action)) return std::nullopt;
    return sel;
}

std::string describe(const Ref &ref) {
    return "<b>" + esc(ref.f[0]) + "</b> display " + esc(ref.f[4].empty() ? "?" : ref.f[4]) +
           ", token " + esc(ref.f[1].empty() ? ref.f[2] : ref.f[1]) + ", Unix ID " +
           esc(ref.f[3].empty() ? "???" : ref.f[3]);
}

bool csrf_ok(const HttpRequest &r, const Who &who) {
    const std::string *csrf = form_value(r, "csrf");
    return csrf && unmasks_to(*csrf, who.csrf);
}

// The selection of a form that changes something: its own form token, and
// an action on sessions that the listing shows. Or the page that says why not.
std::variant<Selection, HttpResponse> checked(const HttpRequest &r, const Helper &helper,
                                              const Who &who, const char *title) {
    if (!csrf_ok(r, who)) return problem(403, title, "The form has expired. Reload the page.", who);
    double ms = 0;
    auto snap = snapshot(who, r, helper, ms);
    if (!snap) return problem(503, title, "The group's sessions cannot be listed now.", who);
    auto sel = selection(r, *snap);
    if (!sel || sel->refs.empty())
        return problem(400, title, "Nothing to do: choose an action and sessions that are there.",
                       who);
    return std::move(*sel);
}

}  // namespace

HttpResponse confirm(const HttpRequest &r, const Helper &helper, const Who &who) {
    auto checked_form = checked(r, helper, who, "Confirm");
    if (auto *refusal = std::get_if<HttpResponse>(&checked_form)) return std::move(*refusal);
    auto *sel = &std::get<Selection>(checked_form);
    size_t n = sel->refs.size();
    std::string verb = sel->action;
    verb[0] = static_cast<char>(verb[0] - 'a' + 'A');
    std::string content = "<p>" + verb + " " +
                          (n == 1 ? "this session" : "these " + std::to_string(n) + " sessions") +
                          "?</p>\n<ul id=\"confirm-list\">\n";
    std::string hidden;
    for (size_t i = 0; i < n; ++i) {
        content += "<li>" + describe(sel->refs[i]) + "</li>\n";
        hidden += "<input type=\"hidden\" name=\"s\" value=\"" + sel->keys[i] + "\">";
    }
    content +=
        "</ul>\n<form id=\"confirm\" method=\"post\" action=\"/act\">"
        "<input type=\"hidden\" name=\"csrf\" value=\"" +
        masked(who.csrf) +
        "\">"
        "<input type=\"hidden\" name=\"action\" value=\"" +
        sel->action + "\">" + hidden + "\n";
    if (n > 1)
        content += "<label><input type=\"checkbox\" id=\"confirm-all\" name=\"all\" value=\"" +
                   std::to_string(n) + "\" required> " + verb + " all " + std::to_string(n) +
                   " selected</label>\n";
    content += "<button id=\"confirm-submit\" type=\"submit\">" + verb +
               "</button> "
               "<a href=\"/sessions\">Cancel</a>\n</form>\n";
    return html(200, page("Confirm", who, content));
}

HttpResponse act(const HttpRequest &r, const Helper &helper, const Who &who) {
    auto checked_form = checked(r, helper, who, "Action");
    if (auto *refusal = std::get_if<HttpResponse>(&checked_form)) return std::move(*refusal);
    auto *sel = &std::get<Selection>(checked_form);
    // Several sessions only with the explicit confirmation of all of them.
    const std::string *all = form_value(r, "all");
    if (sel->refs.size() > 1 && (!all || *all != std::to_string(sel->refs.size())))
        return problem(400, "Action",
                       "Acting on several sessions needs the confirmation of all of them.", who);
    Message request{static_cast<char>(Op::Act), {who.session, r.client, who.csrf, sel->action}};
    for (const Ref &ref : sel->refs)
        request.fields.insert(request.fields.end(), ref.f.begin(), ref.f.end());
    // The helper takes a request over its limits for a hostile one: what it
    // could not take is refused here, and never sent.
    if (!fits(request, kRequestLimits))
        return problem(413, "Action",
                       "These sessions cannot be acted on at once: their names are too long. "
                       "Choose fewer sessions.",
                       who);
    Message reply = helper(request);
    if (reply.kind != static_cast<char>(Status::Ok) ||
        reply.fields.size() != 1 + 2 * sel->refs.size())
        return problem(409, "Action",
                       reply.fields.empty() ? "The action was refused." : reply.fields[0], who);
    std::string content = "<ul id=\"outcomes\">\n";
    for (size_t i = 0; i < sel->refs.size(); ++i) {
        bool ok = reply.fields[1 + 2 * i] == "1";
        content += "<li class=\"outcome " + std::string(ok ? "ok" : "failed") + "\">" +
                   describe(sel->refs[i]) + ": " +
                   (ok ? "done" : "failed (" + esc(reply.fields[2 + 2 * i]) + ")") + "</li>\n";
    }
    content += "</ul>\n<p><a href=\"/sessions\">Back to the sessions</a></p>\n";
    return html(200, page("Outcome", who, content));
}

}  // namespace vkweb
