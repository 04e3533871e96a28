#include "output.h"

#include <cinttypes>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>

#include "duration.h"
#include "session_limits.h"
#include "text.h"

namespace vkgroup {

namespace {

const char *or_unknown(const char *s) {
    return s ? s : "???";
}

void row(std::FILE *out, const std::string &token, const std::string &name, const std::string &unix,
         const std::string &disp, const std::string &state, const std::string &disconnected,
         const std::string &server) {
    std::fprintf(out, "%-30s %-20s %-10s %-4s %-5s %-12s %s\n", token.c_str(), name.c_str(),
                 unix.c_str(), disp.c_str(), state.c_str(), disconnected.c_str(), server.c_str());
}

const Measured &measured(const MeasuredTimes &times, size_t i) {
    static const Measured none;
    return i < times.size() ? times[i] : none;
}

}  // namespace

void print_table(std::FILE *out, const Listing &l, const MeasuredTimes &times) {
    std::fputc('\n', out);
    row(out, "Token ID", "Registered Name", "Unix ID", "Disp", "State", "Disconnected", "Server");
    row(out, std::string(30, '-'), std::string(20, '-'), std::string(10, '-'), "----", "-----",
        std::string(12, '-'), "------");
    for (size_t i = 0; i < l.sessions.size(); ++i) {
        const Session &s = l.sessions[i];
        const vk_UserSession_t r = session_record(s);
        const auto &d = measured(times, i).disconnected_s;
        row(out, vk::terminal_text(or_unknown(_vk_getDisplayToken(&r))),
            vk::terminal_text(or_unknown(s.name())), vk::terminal_text(or_unknown(r.unixID)),
            vk::terminal_text(r.dispNo ? r.dispNo : ""), state_letters(&r),
            d ? vk::human_duration(*d) : "-", vk::terminal_text(l.server(s)));
    }
}

void print_records(std::FILE *out, const Listing &l, bool escape) {
    for (const Session &s : l.sessions) {
        const vk_UserSession_t r = session_record(s);
        if (!escape) {
            vk_printUserSessionEnt(out, &r);
            continue;
        }
        char *text = nullptr;
        size_t size = 0;
        std::FILE *line = ::open_memstream(&text, &size);
        if (!line) continue;
        vk_printUserSessionEnt(line, &r);
        std::fclose(line);
        std::string_view v(text, size);
        bool ended = !v.empty() && v.back() == '\n';
        if (ended) v.remove_suffix(1);
        std::fputs(vk::escaped_text(v).c_str(), out);
        if (ended) std::fputc('\n', out);
        std::free(text);
    }
}

void print_json(std::FILE *out, const Listing &l, const MeasuredTimes &times) {
    auto number = [](const std::optional<int64_t> &n) {
        return n ? nlohmann::ordered_json(*n) : nlohmann::ordered_json(nullptr);
    };
    for (size_t k = 0; k < l.sessions.size(); ++k) {
        const Session &s = l.sessions[k];
        nlohmann::ordered_json o;
        for (size_t i = 0; i < kFields; ++i) {
            const char *value = s.text(static_cast<Field>(i));
            if (value)
                o[kFieldKeys[i]] = value;
            else
                o[kFieldKeys[i]] = nullptr;
        }
        o["disconnected_seconds"] = number(measured(times, k).disconnected_s);
        o["idle_seconds"] = number(measured(times, k).idle_s);
        // Bytes that are no UTF-8 come out as U+FFFD: the output stays valid
        // JSON whatever a far side sent.
        std::string line = o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        std::fprintf(out, "%s\n", line.c_str());
    }
}

std::string label_value(const std::string &v) {
    std::string out;
    for (char c : v) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string metrics_text(const Listing &l) {
    static const std::pair<const char *, int> kStates[] = {
        {"disconnected", VK_SESSION_DISCONNECTED},
        {"idle", VK_SESSION_IDLE},
        {"suspended", VK_SESSION_SUSPENDED},
        {"connected", 0},
    };
    struct Counts {
        std::map<std::string, uint64_t> by_state;
        uint64_t encrypted = 0;
    };
    std::vector<Counts> counts(l.members.size());
    for (const Session &s : l.sessions) {
        Counts &c = counts[s.member];
        for (const auto &[state, bit] : kStates) {
            bool in = bit ? (s.state() & bit) != 0 : !(s.state() & VK_SESSION_DISCONNECTED);
            if (in) ++c.by_state[state];
        }
        const vk_UserSession_t r = session_record(s);
        if (encrypted(&r)) ++c.encrypted;
    }
    std::string t;
    auto line = [&t](const std::string &name, const std::string &labels, const std::string &value) {
        t += name + "{" + labels + "} " + value + "\n";
    };
    auto server = [&l](size_t i) {
        return "server=\"" + label_value(l.members[i].member.name) + "\"";
    };
    t += "# HELP vk_sessions Sessions on a member of the failover group, by state (a session may "
         "be in several).\n";
    t += "# TYPE vk_sessions gauge\n";
    for (size_t i = 0; i < l.members.size(); ++i) {
        if (!l.members[i].answered) continue;
        for (const auto &[state, bit] : kStates) {
            auto it = counts[i].by_state.find(state);
            line("vk_sessions", server(i) + ",state=\"" + state + "\"",
                 std::to_string(it == counts[i].by_state.end() ? 0 : it->second));
        }
    }
    t += "# HELP vk_sessions_encrypted Connected sessions on a member whose connection is "
         "encrypted.\n";
    t += "# TYPE vk_sessions_encrypted gauge\n";
    for (size_t i = 0; i < l.members.size(); ++i)
        if (l.members[i].answered)
            line("vk_sessions_encrypted", server(i), std::to_string(counts[i].encrypted));
    t += "# HELP vk_group_member_up Whether the member answered the listing (1) or not (0).\n";
    t += "# TYPE vk_group_member_up gauge\n";
    for (size_t i = 0; i < l.members.size(); ++i)
        line("vk_group_member_up", server(i), l.members[i].answered ? "1" : "0");
    t += "# HELP vk_group_member_seconds Seconds the member took to answer, or to fail.\n";
    t += "# TYPE vk_group_member_seconds gauge\n";
    for (size_t i = 0; i < l.members.size(); ++i) {
        char v[32];
        std::snprintf(v, sizeof v, "%.3f", l.members[i].seconds);
        line("vk_group_member_seconds", server(i), v);
    }
    return t;
}

}  // namespace vkgroup
