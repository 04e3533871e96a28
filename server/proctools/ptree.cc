// ptree PID
//
// Prints the process tree around one process: its ancestors from the root
// of the tree down, the process itself, and then all its descendants depth
// first, children in ascending pid order. One line per process: two blanks
// of indentation per level, the pid, a blank and the command line (the
// arguments joined by blanks, or the command name in brackets for a process
// without arguments, such as a kernel thread).
//
// The session tools read this output back line by line and take the pid
// after the indentation of each line as a process to stop or continue. A
// command line is chosen by whoever runs the process, so it is cleaned
// before printing: control characters (a newline above all) become '?', and
// each output line is cut short enough that a reader with a 1024-byte line
// buffer never sees a second "line" made of the rest of a long command.
//
// Exit status: 0 when the process exists, 1 when it does not, 2 for a bad
// argument. Only /proc is read.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "../procfs.h"

namespace {

// Longest line we print, newline excluded: well inside a 1024-byte buffer.
constexpr size_t kMaxLine = 1000;

std::string command_text(pid_t pid) {
    std::string text;
    if (auto raw = vksrv::read_proc(pid, "cmdline", kMaxLine + 1)) {
        while (!raw->empty() && raw->back() == '\0') raw->pop_back();
        for (char &c : *raw)
            if (c == '\0') c = ' ';
        text = std::move(*raw);
    }
    if (text.empty()) text = "[" + vksrv::proc_comm(pid).value_or("?") + "]";
    return vksrv::printable(text);
}

void print_line(unsigned depth, pid_t pid) {
    std::string line(size_t{2} * depth, ' ');
    line += std::to_string(pid);
    line += ' ';
    line += command_text(pid);
    if (line.size() > kMaxLine) line.resize(kMaxLine);
    std::printf("%s\n", line.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    vksrv::ensure_std_fds();
    if (argc != 2) {
        std::fprintf(stderr, "usage: ptree PID\n");
        return 2;
    }
    auto target = vksrv::parse_pid(argv[1]);
    if (!target) {
        std::fprintf(stderr, "ptree: invalid process id: %s\n", vksrv::printable(argv[1]).c_str());
        return 2;
    }

    auto table = vksrv::proc_snapshot();
    if (!table.count(*target)) {
        std::fprintf(stderr, "ptree: no such process: %d\n", static_cast<int>(*target));
        return 1;
    }

    // Children lists come out ascending because the table is ordered by pid.
    std::map<pid_t, std::vector<pid_t>> children;
    for (const auto &[pid, st] : table) children[st.ppid].push_back(pid);

    // Ancestors, nearest first. The snapshot is not atomic, so a reused pid
    // could in theory close a loop; `seen` stops that.
    std::set<pid_t> seen = {*target};
    std::vector<pid_t> ancestors;
    for (pid_t p = table[*target].ppid; table.count(p) && seen.insert(p).second; p = table[p].ppid)
        ancestors.push_back(p);

    unsigned depth = 0;
    for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) print_line(depth++, *it);

    // The process and its descendants, depth first, without recursion.
    std::vector<std::pair<pid_t, unsigned>> stack = {{*target, depth}};
    while (!stack.empty()) {
        auto [pid, level] = stack.back();
        stack.pop_back();
        print_line(level, pid);
        const auto &kids = children[pid];
        for (auto it = kids.rbegin(); it != kids.rend(); ++it)
            if (seen.insert(*it).second) stack.emplace_back(*it, level + 1);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
