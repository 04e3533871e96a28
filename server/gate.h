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
// values; a few KiB is plenty.
inline constexpr size_t kMaxGateCommand = 4096;

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
// nothing.
inline GateDecision gate_decide(std::string_view line) {
    GateDecision d;
    auto refuse = [&d](std::string why) {
        d.allowed = false;
        d.why = std::move(why);
        d.argv.clear();
        return d;
    };
    if (line.size() > kMaxGateCommand) return refuse("command line too long");
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
        if (*words != std::vector<std::string>{kVkgroup, "limits", "-x"})
            return refuse(std::string("only \"") + kVkgroup + " limits -x\" may run");
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
