#include "limits_report.h"

#include <cerrno>
#include <cstdint>
#include <map>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "duration.h"
#include "fanout.h"
#include "far_command.h"
#include "frames.h"
#include "messages.h"
#include "output.h"
#include "text.h"
#include "vkcxx.h"

namespace vkgroup {

namespace {

constexpr size_t kRecordFields = 12;  // the tag and eleven
// A line of a far member's answer: its fields are bounded by what the
// library takes of a session (tokens of 255, logins of 121, a note).
constexpr size_t kMaxLine = size_t{16} << 10;

std::string number_or_dash(const std::optional<int64_t> &n) {
    return n ? std::to_string(*n) : "-";
}

std::string counts_record(const uint64_t (&n)[3]) {
    return "C\t" + std::to_string(n[0]) + "\t" + std::to_string(n[1]) + "\t" + std::to_string(n[2]);
}

bool take_number(std::string_view text, std::optional<int64_t> &out) {
    if (text == "-") {
        out.reset();
        return true;
    }
    bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 18) return false;
    int64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    out = negative ? -n : n;
    return true;
}

std::vector<std::string_view> split_tabs(std::string_view line) {
    std::vector<std::string_view> fields;
    for (;;) {
        size_t tab = line.find('\t');
        fields.push_back(line.substr(0, tab));
        if (tab == std::string_view::npos) return fields;
        line.remove_prefix(tab + 1);
    }
}

int limits_call(int fd, const Member &m, const Limits &local_limits, size_t max_answer) {
    std::string frames;
    size_t count = 0;
    if (m.local) {
        LimitsRun run = run_limits(local_limits, false, static_cast<int64_t>(::time(nullptr)));
        if (!run.refused.empty()) frames += encode_frame(FrameType::Warning, run.refused);
        frames += encode_frame(FrameType::Line, counts_record(run.ended_total));
        for (const LimitEntry &e : run.entries) {
            frames += encode_frame(FrameType::Line, limit_record(e));
            ++count;
        }
    } else {
        FarAnswer far = run_far_vkgroup(m.name, {"limits", "-x"}, max_answer);
        if (!far.started) return write_frame(fd, FrameType::Failure, std::strerror(errno)) ? 0 : 1;
        if (far.too_large) return write_frame(fd, FrameType::Failure, "answer too large") ? 0 : 1;
        std::string_view rest(far.output);
        while (!rest.empty()) {
            size_t nl = rest.find('\n');
            std::string_view line = rest.substr(0, nl);
            rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
            LimitEntry e;
            std::string why;
            uint64_t counts[3];
            auto kind =
                line.size() <= kMaxLine ? parse_limit_line(line, e, why, counts) : std::nullopt;
            if (!kind)
                return write_frame(fd, FrameType::Failure,
                                   far_trouble(std::string(line), m.name, "limit records"))
                           ? 0
                           : 1;
            if (*kind == LimitLine::Refused) {
                frames += encode_frame(FrameType::Warning, why);
            } else if (*kind == LimitLine::Counts) {
                frames += encode_frame(FrameType::Line, counts_record(counts));
            } else {
                frames += encode_frame(FrameType::Line, std::string(line));
                ++count;
            }
        }
        int code = vk::failed_exit_code(far.status);
        if (code != 0 && code != 1)
            return write_frame(fd, FrameType::Failure,
                               "the far side ended with status " + std::to_string(code))
                       ? 0
                       : 1;
    }
    frames += encode_frame(FrameType::Done, std::to_string(count));
    return write_all(fd, frames) ? 0 : 1;
}

std::string ends_in(const LimitEntry &e, int64_t now) {
    if (!e.ends_at) return "-";
    return *e.ends_at <= now ? "now" : vk::human_duration(*e.ends_at - now);
}

}  // namespace

std::string limit_record(const LimitEntry &e) {
    std::string line = "S";
    for (const std::string &text : {e.display, e.token, e.raw_token, e.login}) {
        line += '\t';
        line += vk::percent_escape(text);
    }
    line += '\t' + std::to_string(e.state);
    for (const auto &n : {e.started, e.disconnected_s, e.idle_s}) line += '\t' + number_or_dash(n);
    line += '\t' + (e.limit.empty() ? std::string("-") : e.limit + ":" + number_or_dash(e.limit_s));
    line += '\t' + number_or_dash(e.ends_at);
    line += '\t' + vk::percent_escape(e.note);
    return line;
}

std::string refused_record(const std::string &why) {
    return "R\t" + vk::percent_escape(why);
}

void print_limit_records(std::FILE *out, const LimitsRun &run) {
    if (!run.refused.empty()) std::fprintf(out, "%s\n", refused_record(run.refused).c_str());
    std::fprintf(out, "%s\n", counts_record(run.ended_total).c_str());
    for (const LimitEntry &e : run.entries) std::fprintf(out, "%s\n", limit_record(e).c_str());
}

std::optional<LimitLine> parse_limit_line(std::string_view line, LimitEntry &entry,
                                          std::string &why, uint64_t (&counts)[3]) {
    std::vector<std::string_view> f = split_tabs(line);
    if (f.size() == 4 && f[0] == "C") {
        uint64_t n[3];
        for (size_t i = 0; i < 3; ++i) {
            std::optional<int64_t> v;
            if (!take_number(f[1 + i], v) || !v || *v < 0) return std::nullopt;
            n[i] = static_cast<uint64_t>(*v);
        }
        std::copy(n, n + 3, counts);
        return LimitLine::Counts;
    }
    if (f.size() == 2 && f[0] == "R") {
        auto text = vk::percent_unescape(f[1]);
        if (!text || text->empty() || text->size() > 1024) return std::nullopt;
        why = *text;
        return LimitLine::Refused;
    }
    if (f.size() != kRecordFields || f[0] != "S") return std::nullopt;
    LimitEntry e;
    std::string *texts[] = {&e.display, &e.token, &e.raw_token, &e.login};
    for (size_t i = 0; i < 4; ++i) {
        auto text = vk::percent_unescape(f[1 + i]);
        if (!text || text->size() > 255) return std::nullopt;
        *texts[i] = *text;
    }
    std::optional<int64_t> state;
    if (!take_number(f[5], state) || !state || *state < 0 || *state > 7) return std::nullopt;
    e.state = static_cast<int>(*state);
    if (!take_number(f[6], e.started) || !take_number(f[7], e.disconnected_s) ||
        !take_number(f[8], e.idle_s) || !take_number(f[10], e.ends_at))
        return std::nullopt;
    for (const auto &n : {e.disconnected_s, e.idle_s})
        if (n && *n < 0) return std::nullopt;
    if (f[9] != "-") {
        size_t colon = f[9].find(':');
        std::string_view name = f[9].substr(0, colon);
        if (colon == std::string_view::npos ||
            (name != "disconnected" && name != "idle" && name != "lifetime") ||
            !take_number(f[9].substr(colon + 1), e.limit_s) || !e.limit_s || *e.limit_s <= 0)
            return std::nullopt;
        e.limit = name;
    }
    auto note = vk::percent_unescape(f[11]);
    if (!note || note->size() > 300) return std::nullopt;
    e.note = *note;
    entry = std::move(e);
    return LimitLine::Session;
}

std::vector<MemberLimits> group_limits(const std::vector<Member> &members, const Options &opt,
                                       const Limits &local_limits) {
    FanoutLimits fl;
    fl.parallel = opt.parallel;
    fl.deadline = std::chrono::milliseconds(int64_t{opt.deadline_s} * 1000);
    std::vector<Call> calls;
    calls.reserve(members.size());
    for (const Member &m : members)
        calls.push_back({m.name, [m, &local_limits, &fl](int fd) {
                             return limits_call(fd, m, local_limits, fl.max_answer);
                         }});
    std::vector<CallResult> results = run_calls(calls, fl);
    std::vector<MemberLimits> all;
    for (size_t i = 0; i < members.size(); ++i) {
        MemberLimits ml;
        ml.answer.member = members[i];
        const CallResult &r = results[i];
        ml.answer.seconds = r.seconds;
        bool done = false;
        std::string failure;
        for (const Frame &f : r.frames) {
            if (f.type == FrameType::Failure) failure = f.payload;
            if (f.type == FrameType::Warning && ml.refused.empty()) ml.refused = f.payload;
            if (f.type == FrameType::Done) done = true;
            if (f.type != FrameType::Line) continue;
            LimitEntry e;
            std::string why;
            uint64_t counts[3];
            auto kind = parse_limit_line(f.payload, e, why, counts);
            if (kind == LimitLine::Session) {
                ml.entries.push_back(std::move(e));
            } else if (kind == LimitLine::Counts) {
                ml.ended_total = std::array<uint64_t, 3>{counts[0], counts[1], counts[2]};
            }
        }
        if (r.timed_out)
            ml.answer.reason = "no answer within " + std::to_string(opt.deadline_s) + " seconds";
        else if (!r.trouble.empty())
            ml.answer.reason = r.trouble;
        else if (!failure.empty())
            ml.answer.reason = failure;
        else if (!done)
            ml.answer.reason = "ended without answering";
        ml.answer.answered = ml.answer.reason.empty();
        if (!ml.answer.answered) ml.entries.clear();
        ml.answer.sessions = ml.entries.size();
        all.push_back(std::move(ml));
    }
    return all;
}

void print_limits_table(std::FILE *out, const std::vector<MemberLimits> &all, int64_t now) {
    auto row = [out](const std::string &server, const std::string &disp, const std::string &token,
                     const std::string &login, const std::string &disc, const std::string &idle,
                     const std::string &limit, const std::string &ends, const std::string &note) {
        std::fprintf(out, "%-12s %-4s %-24s %-10s %-12s %-12s %-16s %-8s %s\n", server.c_str(),
                     disp.c_str(), token.c_str(), login.c_str(), disc.c_str(), idle.c_str(),
                     limit.c_str(), ends.c_str(), note.c_str());
    };
    auto time_or_dash = [](const std::optional<int64_t> &s) {
        return s ? vk::human_duration(*s) : std::string("-");
    };
    std::fputc('\n', out);
    row("Server", "Disp", "Token ID", "Unix ID", "Disconnected", "Idle", "Limit", "Ends in",
        "Note");
    row("------", "----", std::string(24, '-'), std::string(10, '-'), "------------",
        "------------", std::string(16, '-'), "--------", "----");
    for (const MemberLimits &ml : all) {
        for (const LimitEntry &e : ml.entries) {
            std::string limit =
                e.limit.empty() ? "-" : e.limit + " " + vk::human_duration(e.limit_s.value_or(0));
            row(vk::terminal_text(ml.answer.member.name), vk::terminal_text(e.display),
                vk::terminal_text(e.token), vk::terminal_text(e.login.empty() ? "-" : e.login),
                time_or_dash(e.disconnected_s), time_or_dash(e.idle_s), limit, ends_in(e, now),
                vk::terminal_text(e.note));
        }
    }
}

void print_limits_json(std::FILE *out, const std::vector<MemberLimits> &all, int64_t now) {
    auto number = [](const std::optional<int64_t> &n) {
        return n ? nlohmann::ordered_json(*n) : nlohmann::ordered_json(nullptr);
    };
    for (const MemberLimits &ml : all) {
        for (const LimitEntry &e : ml.entries) {
            nlohmann::ordered_json o;
            o["SERVER"] = ml.answer.member.name;
            o["DISPLAY"] = e.display;
            o["TOKEN"] = e.token;
            o["RAWTOKEN"] = e.raw_token;
            o["UNIXID"] =
                e.login.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(e.login);
            o["disconnected_seconds"] = number(e.disconnected_s);
            o["idle_seconds"] = number(e.idle_s);
            o["limit"] =
                e.limit.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(e.limit);
            o["limit_seconds"] = number(e.limit_s);
            o["ends_in_seconds"] =
                e.ends_at ? nlohmann::ordered_json(std::max<int64_t>(0, *e.ends_at - now))
                          : nlohmann::ordered_json(nullptr);
            o["note"] =
                e.note.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(e.note);
            std::string line = o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            std::fprintf(out, "%s\n", line.c_str());
        }
    }
}

MeasuredTimes measured_times(const Listing &listing, const Options &opt, const Limits &local) {
    std::vector<Member> answered;
    std::vector<size_t> index_of(listing.members.size(), SIZE_MAX);
    for (size_t i = 0; i < listing.members.size(); ++i) {
        if (!listing.members[i].answered || listing.members[i].sessions == 0) continue;
        index_of[i] = answered.size();
        answered.push_back(listing.members[i].member);
    }
    MeasuredTimes times(listing.sessions.size());
    if (answered.empty()) return times;
    std::vector<MemberLimits> all = group_limits(answered, opt, local);
    // A member's times go to that member's sessions only, by display and
    // raw token: what one member says cannot touch another's.
    std::vector<std::map<std::pair<std::string, std::string>, Measured>> by_member(all.size());
    for (size_t m = 0; m < all.size(); ++m)
        for (const LimitEntry &e : all[m].entries)
            by_member[m][{e.display, e.raw_token}] = Measured{e.disconnected_s, e.idle_s};
    for (size_t i = 0; i < listing.sessions.size(); ++i) {
        const Session &s = listing.sessions[i];
        size_t m = index_of[s.member];
        if (m == SIZE_MAX) continue;
        const char *d = s.text(Field::Display), *raw = s.text(Field::RawToken);
        auto it = by_member[m].find({d ? d : "", raw ? raw : ""});
        if (it != by_member[m].end()) times[i] = it->second;
    }
    return times;
}

std::string limits_metrics_text(const std::vector<MemberLimits> &all, int64_t now) {
    static const char *kLimits[] = {"disconnected", "idle", "lifetime"};
    std::string t;
    t += "# HELP vk_sessions_over_limit Sessions over each session limit on a member, from its "
         "measured times.\n";
    t += "# TYPE vk_sessions_over_limit gauge\n";
    for (const MemberLimits &ml : all) {
        if (!ml.answer.answered) continue;
        unsigned over[3] = {0, 0, 0};
        for (const LimitEntry &e : ml.entries)
            if (!e.limit.empty() && e.ends_at && *e.ends_at <= now)
                for (size_t i = 0; i < 3; ++i)
                    if (e.limit == kLimits[i]) ++over[i];
        for (size_t i = 0; i < 3; ++i)
            t += "vk_sessions_over_limit{server=\"" + label_value(ml.answer.member.name) +
                 "\",limit=\"" + kLimits[i] + "\"} " + std::to_string(over[i]) + "\n";
    }
    t += "# HELP vk_sessions_ended_total Sessions a member has ended by each session limit.\n";
    t += "# TYPE vk_sessions_ended_total counter\n";
    for (const MemberLimits &ml : all) {
        if (!ml.answer.answered || !ml.ended_total) continue;
        for (size_t i = 0; i < 3; ++i)
            t += "vk_sessions_ended_total{server=\"" + label_value(ml.answer.member.name) +
                 "\",limit=\"" + kLimits[i] + "\"} " + std::to_string((*ml.ended_total)[i]) + "\n";
    }
    return t;
}

}  // namespace vkgroup
