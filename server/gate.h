// The gate's decision, apart from the program around it so that it can be
// tested on its own: which command lines that arrive with the group key
// may run.
#ifndef VK_SERVER_GATE_H
#define VK_SERVER_GATE_H

#include <string>
#include <string_view>
#include <vector>

#include "group.h"
#include "shell_words.h"

namespace vksrv {

// The command lines sent with the group key are long only through their
// values; a few KiB is plenty, but for a notice to a session's user: 64
// KiB of text as base64, in one word.
inline constexpr size_t kMaxGateCommand = 4096;
inline constexpr size_t kMaxNoticeWord = (size_t{64} * 1024 + 2) / 3 * 4;
inline constexpr size_t kMaxNoticeCommand = kMaxNoticeWord + 128;

// Whether `w` is base64 (with padding) of at most kMaxNoticeWord characters.
inline bool notice_word(const std::string &w) {
    if (w.empty() || w.size() > kMaxNoticeWord || w.size() % 4 != 0) return false;
    size_t pad = w.size() - w.find_last_not_of('=') - 1;
    if (pad > 2) return false;
    for (size_t i = 0; i + pad < w.size(); ++i) {
        char c = w[i];
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '+' || c == '/';
        if (!ok) return false;
    }
    return true;
}

inline bool display_word(const std::string &w) {
    if (w.empty() || w.size() > 4) return false;
    for (char c : w)
        if (c < '0' || c > '9') return false;
    return true;
}

struct GateDecision {
    bool allowed = false;
    std::string why;                // why a line is refused
    std::vector<std::string> argv;  // what to run: vksession and its options
    bool merge = false;             // the line asked for "2>&1"
};

// Decides on a command line as ssh hands it over: allowed is vksession at
// its full path, given one action, -x (machine mode) and options of its
// own only, each option a word of its own and each option's value the next
// word; optionally followed by "2>&1". Grouped letters ("-px"), attached
// values ("-talice"), operands, other programs, a missing -x and anything
// that a shell would act on are refused. The one other line allowed is
// vkgroup's dry run of the session limits, word for word: "vkgroup limits
// -x" at its full path, which answers for that server alone and changes
// nothing; and its notice to the user of one display, "vkgroup notify -x
// -d N TEXT", N a display number and TEXT base64 of at most 64 KiB.
inline GateDecision gate_decide(std::string_view line) {
    GateDecision d;
    auto refuse = [&d](std::string why) {
        d.allowed = false;
        d.why = std::move(why);
        d.argv.clear();
        return d;
    };
    const std::string notice = std::string(kVkgroup) + " notify ";
    const bool notice_line = line.substr(0, notice.size()) == std::string_view(notice);
    if (line.size() > (notice_line ? kMaxNoticeCommand : kMaxGateCommand))
        return refuse("command line too long");
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    const std::string merge = std::string(" ") + kMergeStreams;
    if (line.size() >= merge.size() &&
        line.substr(line.size() - merge.size()) == std::string_view(merge)) {
        d.merge = true;
        line.remove_suffix(merge.size());
    }
    auto words = vk::split_shell_words(line);
    if (!words) return refuse("not a plain command line");
    if (words->empty()) return refuse("no command");
    if ((*words)[0] == kVkgroup) {
        const auto &w = *words;
        bool dry_run = w == std::vector<std::string>{kVkgroup, "limits", "-x"};
        bool notice_to = w.size() == 6 && w[1] == "notify" && w[2] == "-x" && w[3] == "-d" &&
                         display_word(w[4]) && notice_word(w[5]);
        if (!dry_run && !notice_to)
            return refuse(std::string("only \"") + kVkgroup + " limits -x\" and " + kVkgroup +
                          " notify -x -d DISPLAY TEXT may run");
        d.allowed = true;
        d.argv = std::move(*words);
        return d;
    }
    if ((*words)[0] != kVksession)
        return refuse("only " + std::string(kVksession) + " or " + kVkgroup + " may run");

    bool machine = false;
    int actions = 0;
    for (size_t i = 1; i < words->size(); ++i) {
        const std::string &w = (*words)[i];
        if (w == "-x") {
            machine = true;
        } else if (w == "-p" || w == "-l" || w == "-k" || w == "-s" || w == "-r") {
            ++actions;
        } else if (w == "-a") {
            // applies to more than one session; vksession decides.
        } else if (w == "-t" || w == "-u" || w == "-d" || w == "-n") {
            if (++i == words->size()) return refuse("option " + w + " without its value");
        } else {
            return refuse("option not allowed: " + w);
        }
    }
    if (!machine) return refuse("machine mode (-x) is required");
    if (actions != 1) return refuse("exactly one of -p, -l, -k, -s, -r is required");
    d.allowed = true;
    d.argv = std::move(*words);
    return d;
}

}  // namespace vksrv

#endif
