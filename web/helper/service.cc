#include "service.h"

#include <algorithm>

#include "host_name.h"
#include "listing_fields.h"
#include "members.h"
#include "text.h"

namespace vkweb {

namespace {

Message ok(std::vector<std::string> fields = {}) {
    return Message{static_cast<char>(Status::Ok), std::move(fields)};
}

Message refused(const std::string &why) {
    return Message{static_cast<char>(Status::Refused), {why}};
}

std::string try_again(Seconds s) {
    return "too many failed logins; try again in " + std::to_string(s.count()) + " s";
}

// Whether a field of a listed session is `named`; a request names an
// absent field as empty. (An action may name 1000 sessions of a listing of
// 10,000: no copies here.)
bool is(const vkgroup::Session &s, vkgroup::Field f, const std::string &named) {
    const char *t = s.text(f);
    return t ? named == t : named.empty();
}

bool matches(const vkgroup::Listing &l, const vkgroup::Session &s, const NamedSession &n) {
    using vkgroup::Field;
    return is(s, Field::Display, n.display) && is(s, Field::RawToken, n.raw_token) &&
           is(s, Field::Token, n.token) && is(s, Field::Login, n.login) &&
           vk::same_host(l.server(s), n.server);
}

bool same_named(const NamedSession &a, const NamedSession &b) {
    return vk::same_host(a.server, b.server) && a.raw_token == b.raw_token && a.token == b.token &&
           a.login == b.login && a.display == b.display;
}

std::string shown(const std::string &field) {
    return field.empty() ? "-" : field;
}

std::string failed_login(const std::string &user, const std::string &client,
                         const std::string &why) {
    return "login of " + user + " from " + client + " failed: " + why;
}

std::string described(const NamedSession &n) {
    return n.server + " display " + (n.display.empty() ? "?" : n.display);
}

}  // namespace

Message Service::handle(const Message &request) {
    Plan p = begin(request, false);
    switch (p.kind) {
        case Plan::Kind::Now:
            break;
        case Plan::Kind::Listing:
            // In line, even a listing that could be shown meanwhile is
            // replaced at once: nothing would fetch it later.
            p.reply = fresh_listing();
            listed(p.reply, actions_);
            break;
        case Plan::Kind::Work:
            p.reply = work(p);
            acted();
            break;
    }
    return std::move(p.reply);
}

Plan Service::begin(const Message &request, bool refreshing) {
    auto now = [](Message reply) {
        Plan p;
        p.reply = std::move(reply);
        return p;
    };
    Checked c = check_request(request);
    if (!c.ok) return now(refused(c.refusal));
    if (auto *r = std::get_if<ListRequest>(&c.request)) return list(*r, refreshing);
    if (auto *r = std::get_if<ActRequest>(&c.request)) {
        const LoginSession *found = sessions_.find(r->session, backend_.now(), true);
        if (!found) return now(refused(kOutOfOrder));
        if (!same_secret(found->csrf, r->csrf)) return now(refused("bad CSRF token"));
        Plan p;
        p.kind = Plan::Kind::Work;
        p.login = found->login;
        p.act = std::move(*r);
        return p;
    }
    return now(std::visit(
        [this](const auto &r) -> Message {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, AuthRequest>)
                return auth(r);
            else if constexpr (std::is_same_v<T, WhoAmIRequest>)
                return whoami(r);
            else if constexpr (std::is_same_v<T, LogoutRequest>)
                return logout(r);
            else
                return refused(kOutOfOrder);
        },
        c.request));
}

// A login in three steps: whether PAM may be asked at all (the back-off),
// PAM and the group, and what the outcome leaves behind.
Message Service::auth(const AuthRequest &r) {
    if (std::optional<Message> refusal = auth_decide(r)) return *refusal;
    std::string login, why;
    bool passed = auth_check(r, login, why);
    return auth_record(r, passed, login, why);
}

std::optional<Message> Service::auth_decide(const AuthRequest &r) {
    Seconds wait = backoff_.wait(Backoff::source_of(r.client), r.user, backend_.now());
    if (wait.count() == 0) return std::nullopt;
    backend_.log_security(
        failed_login(r.user, r.client, "earlier failures from this source; PAM not asked"));
    return refused(try_again(wait));
}

bool Service::auth_check(const AuthRequest &r, std::string &login, std::string &why) {
    bool passed = backend_.authenticate(r.user, r.password, r.client, login, why);
    if (passed && !account_name(login)) {
        passed = false;
        why = "PAM settled on a name that is no account name";
    }
    if (passed && !backend_.administrator(login)) {
        passed = false;
        why = "not a member of the administrators' group";
    }
    return passed;
}

Message Service::auth_record(const AuthRequest &r, bool passed, const std::string &login,
                             const std::string &why) {
    Time now = backend_.now();
    // Failures count against the name that was tried: that is the account
    // an attacker guesses at, whatever PAM maps it to.
    std::string source = Backoff::source_of(r.client);
    if (!passed) {
        backoff_.failed(source, r.user, now);
        backend_.log_security(failed_login(r.user, r.client, why));
        return refused(kLoginFailed);
    }
    backoff_.succeeded(source, r.user);
    LoginSession s;
    s.id = backend_.random_hex(kIdLength / 2);
    s.csrf = backend_.random_hex(kIdLength / 2);
    s.login = login;
    s.client = r.client;
    const LoginSession &opened = sessions_.open(std::move(s), now);
    backend_.log_security("login of " + login + " from " + r.client);
    return ok({opened.id, opened.login, opened.csrf});
}

Message Service::whoami(const WhoAmIRequest &r) {
    const LoginSession *s = sessions_.find(r.session, backend_.now(), r.use);
    if (!s) return refused(kOutOfOrder);
    return ok({s->login, s->csrf});
}

Plan Service::list(const ListRequest &r, bool refreshing) {
    Plan p;
    Time now = backend_.now();
    // Every page that lists asks who is logged in first, and that decides
    // whether it was used: the listing itself is no use.
    if (!sessions_.find(r.session, now, false)) {
        p.reply = refused(kOutOfOrder);
    } else if (const std::vector<std::string> *young = cache_.kept(now, ListingCache::kAhead)) {
        answer_kept(p, *young);
    } else if (const std::vector<std::string> *fresh = cache_.get(now)) {
        // Soon due: answered now, and the first request to find it so
        // starts the one fresh listing, so that under a steady flow of
        // pages the next listing is in before this one is due and no page
        // waits for the group.
        answer_kept(p, *fresh);
        if (!refreshing && !refreshing_) {
            p.kind = Plan::Kind::Listing;
            p.kept = true;
            p.fetch = refreshing_ = true;
        }
    } else if (const std::vector<std::string> *older =
                   refreshing || refreshing_ ? cache_.kept(now, keep_) : nullptr) {
        // Due, with a fresh one on its way: answered meanwhile, up to the
        // bound. Due with none on its way (nothing asked for a while): the
        // page waits for a fresh one rather than show what may be stale.
        answer_kept(p, *older);
    } else {
        p.kind = Plan::Kind::Listing;
        p.fetch = !refreshing && !refreshing_;
        refreshing_ = true;
    }
    return p;
}

void Service::answer_kept(Plan &p, const std::vector<std::string> &kept) {
    if (encoded_ && wire_)
        p.wire = wire_;
    else
        p.reply = ok(kept);
}

Message Service::fresh_listing() {
    std::vector<vkgroup::Member> members;
    std::string error;
    if (!backend_.members(members, error)) return refused(error);
    vkgroup::Listing listing = backend_.list(members, true);
    // The limits of the members that answered, in the same child: the
    // times and what each member's enforcer would do next.
    std::vector<vkgroup::Member> answered;
    for (const vkgroup::MemberAnswer &a : listing.members)
        if (a.answered) answered.push_back(a.member);
    Backend::GroupLimits limits = backend_.limits(answered);
    ListingLimits joined = join_limits(listing, limits.members, limits.now);
    joined.summary = std::move(limits.summary);
    Message reply = ok(listing_fields(listing, joined));
    // The web side takes a reply over its limits for a hostile helper's:
    // the budget of the listing keeps it within them.
    if (!fits(reply, kReplyLimits)) return refused("the listing is too large");
    return reply;
}

void Service::listed(const Message &reply, unsigned since) {
    refreshing_ = false;
    if (reply.kind == static_cast<char>(Status::Ok) && since == actions_) {
        cache_.put(reply.fields, backend_.now());
        wire_.reset();
        if (encoded_) wire_ = std::make_shared<const std::string>(encode(reply));
    }
}

Message Service::work(const Plan &plan) {
    const ActRequest &r = plan.act;
    std::vector<vkgroup::Member> members;
    std::string error;
    if (!backend_.members(members, error)) return refused(error);
    // Only the members that hold a session named are asked, each once.
    std::vector<bool> asked(members.size(), false);
    for (size_t i = 0; i < r.sessions.size(); ++i) {
        const NamedSession &n = r.sessions[i];
        auto m = std::find_if(members.begin(), members.end(), [&n](const vkgroup::Member &x) {
            return vk::same_host(x.name, n.server);
        });
        if (m == members.end()) return refused("not a member of the group: " + n.server);
        asked[static_cast<size_t>(m - members.begin())] = true;
        for (size_t j = 0; j < i; ++j)
            if (same_named(r.sessions[j], n))
                return refused("a session named twice: " + described(n));
    }
    std::vector<vkgroup::Member> involved;
    for (size_t i = 0; i < members.size(); ++i)
        if (asked[i]) involved.push_back(members[i]);

    // The sessions as they are now: each named one must be there, once.
    vkgroup::Listing listing = backend_.list(involved, false);
    for (const vkgroup::MemberAnswer &a : listing.members)
        if (!a.answered)
            return refused(a.member.name + " did not answer: " + vk::one_line(a.reason, 200));
    std::vector<size_t> which;
    for (const NamedSession &n : r.sessions) {
        size_t count = 0, at = 0;
        for (size_t i = 0; i < listing.sessions.size(); ++i)
            if (matches(listing, listing.sessions[i], n)) {
                ++count;
                at = i;
            }
        if (count == 0) return refused("no such session: " + described(n));
        if (count > 1) return refused("more than one session is " + described(n));
        which.push_back(at);
    }

    std::vector<vkgroup::Outcome> outcomes = backend_.act(r.action, listing, which);
    outcomes.resize(which.size(), vkgroup::Outcome{false, "no outcome"});
    std::vector<std::string> fields{std::to_string(outcomes.size())};
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const vkgroup::Outcome &o = outcomes[i];
        const NamedSession &n = r.sessions[i];
        std::string message = o.ok ? std::string() : vk::one_line(o.message, 200);
        backend_.log_action(plan.login + " from " + r.client + ": " + action_name(r.action) + " " +
                            n.server + " display " + shown(n.display) + " token " + shown(n.token) +
                            " raw token " + shown(n.raw_token) + " login " + shown(n.login) + ": " +
                            (o.ok ? "done" : "failed (" + message + ")"));
        fields.emplace_back(o.ok ? "1" : "0");
        fields.push_back(std::move(message));
    }
    return ok(std::move(fields));
}

Message Service::logout(const LogoutRequest &r) {
    const LoginSession *s = sessions_.find(r.session, backend_.now(), false);
    if (!s) return refused(kOutOfOrder);
    if (!same_secret(s->csrf, r.csrf)) return refused("bad CSRF token");
    backend_.log_security("logout of " + s->login + " from " + s->client);
    sessions_.close(r.session);
    return ok();
}

}  // namespace vkweb
