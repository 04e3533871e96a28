#include "output.h"

#include <array>
#include <cinttypes>
#include <map>
#include <nlohmann/json.hpp>
#include <utility>

#include "text.h"

namespace vkgroup {

namespace {

const char *or_unknown(const char *s) {
    return s ? s : "???";
}

void row(std::FILE *out, const std::string &token, const std::string &name, const std::string &unix,
         const std::string &disp, const std::string &state, const std::string &server) {
    std::fprintf(out, "%-30s %-20s %-10s %-4s %-5s %s\n", token.c_str(), name.c_str(), unix.c_str(),
                 disp.c_str(), state.c_str(), server.c_str());
}

// The record line's keys with the record's fields, in the line's order.
using Field = std::pair<const char *, const char *>;
std::array<Field, 15> fields(const vk_UserSession_t *s) {
    return {{{"INSERT_TOKEN", s->rawtoken},
             {"TOKEN", s->tokenName},
             {"uid", s->unixID},
             {"STATE", nullptr},
             {"DISPLAY", s->dispNo},
             {"SERVER", s->server},
             {"SESSION_TYPE", s->sessionType},
             {"encryptUpType", s->enc_up},
             {"encryptDownType", s->enc_down},
             {"authenticateUpType", s->auth_up},
             {"authenticateDownType", s->auth_down},
             {"securityMode", s->mode},
             {"TermPrimary", s->termPrimary},
             {"TermList", s->termList},
             {"MultiheadGroupName", s->mhGroupName}}};
}

}  // namespace

void print_table(std::FILE *out, const Listing &l) {
    std::fputc('\n', out);
    row(out, "Token ID", "Registered Name", "Unix ID", "Disp", "State", "Server");
    row(out, std::string(30, '-'), std::string(20, '-'), std::string(10, '-'), "----", "-----",
        "------");
    for (const Session &s : l.sessions) {
        const vk_UserSession_t *r = s.rec.get();
        row(out, terminal_text(or_unknown(_vk_getDisplayToken(r))),
            terminal_text(s.name ? *s.name : "???"), terminal_text(or_unknown(r->unixID)),
            terminal_text(r->dispNo ? r->dispNo : ""), state_letters(r), terminal_text(l.server(s)));
    }
}

void print_records(std::FILE *out, const Listing &l) {
    for (const Session &s : l.sessions) vk_printUserSessionEnt(out, s.rec.get());
}

void print_json(std::FILE *out, const Listing &l) {
    for (const Session &s : l.sessions) {
        nlohmann::ordered_json o;
        for (const auto &[key, value] : fields(s.rec.get())) {
            if (std::string_view(key) == "STATE")
                o[key] = std::to_string(s.rec->state);
            else if (value)
                o[key] = value;
            else
                o[key] = nullptr;
        }
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
            bool in = bit ? (s.rec->state & bit) != 0 : !(s.rec->state & VK_SESSION_DISCONNECTED);
            if (in) ++c.by_state[state];
        }
        if (encrypted(s.rec.get())) ++c.encrypted;
    }
    std::string t;
    auto line = [&t](const std::string &name, const std::string &labels, const std::string &value) {
        t += name + "{" + labels + "} " + value + "\n";
    };
    auto server = [&l](size_t i) { return "server=\"" + label_value(l.members[i].member.name) + "\""; };
    t += "# HELP vk_sessions Sessions on a member of the failover group, by state (a session may be in several).\n";
    t += "# TYPE vk_sessions gauge\n";
    for (size_t i = 0; i < l.members.size(); ++i) {
        if (!l.members[i].answered) continue;
        for (const auto &[state, bit] : kStates) {
            auto it = counts[i].by_state.find(state);
            line("vk_sessions", server(i) + ",state=\"" + state + "\"",
                 std::to_string(it == counts[i].by_state.end() ? 0 : it->second));
        }
    }
    t += "# HELP vk_sessions_encrypted Connected sessions on a member whose connection is encrypted.\n";
    t += "# TYPE vk_sessions_encrypted gauge\n";
    for (size_t i = 0; i < l.members.size(); ++i)
        if (l.members[i].answered) line("vk_sessions_encrypted", server(i), std::to_string(counts[i].encrypted));
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
