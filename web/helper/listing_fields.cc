#include "listing_fields.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string_view>

namespace vkweb {

namespace {

std::string joined(const std::vector<std::string> &lines) {
    std::string out;
    for (const std::string &l : lines) {
        if (!out.empty()) out += '\n';
        out += l;
    }
    return out;
}

std::string number_or_dash(const std::optional<int64_t> &n) {
    return n ? std::to_string(*n) : "-";
}

std::string times_field(const std::optional<SessionTimes> &t) {
    if (!t) return {};
    return number_or_dash(t->disconnected_s) + '\t' + number_or_dash(t->idle_s) + '\t' +
           (t->limit.empty() ? "-" : t->limit) + '\t' + number_or_dash(t->limit_s) + '\t' +
           number_or_dash(t->ends_in) + '\t' + t->note;
}

}  // namespace

ListingLimits join_limits(const vkgroup::Listing &l, const std::vector<vkgroup::MemberLimits> &all,
                          int64_t now) {
    ListingLimits out;
    out.members.resize(l.members.size());
    out.sessions.resize(l.sessions.size());
    using Key = std::pair<std::string_view, std::string_view>;
    std::vector<std::map<Key, const vkgroup::LimitEntry *>> by_member(l.members.size());
    for (const vkgroup::MemberLimits &ml : all) {
        size_t m = 0;
        while (m < l.members.size() && l.members[m].member.name != ml.answer.member.name) ++m;
        if (m == l.members.size()) continue;
        out.members[m] = {ml.answer.answered, ml.answer.answered ? ml.refused : ml.answer.reason};
        if (!ml.answer.answered) continue;
        for (const vkgroup::LimitEntry &e : ml.entries)
            by_member[m].emplace(Key{e.display, e.raw_token}, &e);
    }
    for (size_t i = 0; i < l.sessions.size(); ++i) {
        const vkgroup::Session &s = l.sessions[i];
        if (s.member >= by_member.size()) continue;
        const char *d = s.text(vkgroup::Field::Display), *raw = s.text(vkgroup::Field::RawToken);
        auto it = by_member[s.member].find(Key{d ? d : "", raw ? raw : ""});
        if (it == by_member[s.member].end()) continue;
        const vkgroup::LimitEntry &e = *it->second;
        SessionTimes t;
        t.disconnected_s = e.disconnected_s;
        t.idle_s = e.idle_s;
        t.limit = e.limit;
        t.limit_s = e.limit_s;
        if (e.ends_at) t.ends_in = std::max<int64_t>(0, *e.ends_at - now);
        t.note = e.note;
        out.sessions[i] = std::move(t);
    }
    return out;
}

std::vector<std::string> listing_fields(const vkgroup::Listing &l) {
    return listing_fields(l, ListingLimits{}, kListingBudget);
}

std::vector<std::string> listing_fields(const vkgroup::Listing &l, const ListingBudget &budget) {
    return listing_fields(l, ListingLimits{}, budget);
}

std::vector<std::string> listing_fields(const vkgroup::Listing &l, const ListingLimits &limits,
                                        const ListingBudget &budget) {
    // A field costs its length besides its bytes.
    constexpr size_t kHead = 4;
    const size_t n = l.members.size();
    std::vector<std::string> secs(n), warnings(n), times(l.sessions.size());
    std::vector<size_t> bytes(n, 0), fields(n, 0);
    auto note_of = [&limits](size_t i) {
        return i < limits.members.size() ? limits.members[i] : MemberLimitsNote{};
    };
    for (size_t i = 0; i < n; ++i) {
        const vkgroup::MemberAnswer &a = l.members[i];
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", a.seconds);
        secs[i] = text;
        warnings[i] = joined(a.warnings);
        bytes[i] =
            kHead + warnings[i].size() + kHead + a.reason.size() + kHead + note_of(i).text.size();
    }
    for (size_t k = 0; k < l.sessions.size(); ++k) {
        const vkgroup::Session &s = l.sessions[k];
        if (s.member >= n) continue;
        if (k < limits.sessions.size()) times[k] = times_field(limits.sessions[k]);
        bytes[s.member] +=
            3 * kHead + std::to_string(s.member).size() + s.packed().size() + times[k].size();
        fields[s.member] += kSessionFields;
    }
    const std::string summary = limits.summary.substr(0, kMaxSummary);
    // What every member takes at least (sent as too large), the two counts
    // and the summary: the rest is shared out to the members in their order.
    size_t least_bytes = 2 * (kHead + 20) + kHead + summary.size(), least_fields = 3;
    std::vector<size_t> least(n);
    for (size_t i = 0; i < n; ++i) {
        least[i] = kMemberFields * kHead + l.members[i].member.name.size() + 3 + secs[i].size() +
                   std::strlen(kTooLarge);
        least_bytes += least[i];
        least_fields += kMemberFields;
    }
    size_t left_bytes = budget.bytes > least_bytes ? budget.bytes - least_bytes : 0;
    size_t left_fields = budget.fields > least_fields ? budget.fields - least_fields : 0;
    std::vector<bool> shown(n, false);
    for (size_t i = 0; i < n; ++i) {
        size_t more = bytes[i] > least[i] ? bytes[i] - least[i] : 0;
        if (bytes[i] > budget.member_bytes || fields[i] > budget.member_fields ||
            more > left_bytes || fields[i] > left_fields)
            continue;
        shown[i] = true;
        left_bytes -= more;
        left_fields -= fields[i];
    }

    size_t sessions = 0;
    for (const vkgroup::Session &s : l.sessions)
        if (s.member < n && shown[s.member]) ++sessions;
    std::vector<std::string> f;
    f.reserve(3 + n * kMemberFields + sessions * kSessionFields);
    f.push_back(std::to_string(n));
    for (size_t i = 0; i < n; ++i) {
        const vkgroup::MemberAnswer &a = l.members[i];
        bool whole = shown[i];
        MemberLimitsNote note = whole ? note_of(i) : MemberLimitsNote{};
        f.insert(f.end(),
                 {a.member.name, a.member.local ? "1" : "0", whole && a.answered ? "1" : "0",
                  whole ? a.reason : kTooLarge, secs[i], whole ? warnings[i] : std::string(),
                  note.answered ? "1" : "0", note.text});
    }
    f.push_back(std::to_string(sessions));
    for (size_t k = 0; k < l.sessions.size(); ++k) {
        const vkgroup::Session &s = l.sessions[k];
        if (s.member >= n || !shown[s.member]) continue;
        f.push_back(std::to_string(s.member));
        f.push_back(s.packed());
        f.push_back(std::move(times[k]));
    }
    f.push_back(summary);
    return f;
}

}  // namespace vkweb
