#include "far_command.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_signals.h"
#include "text.h"
#include "vkcxx.h"

namespace vkgroup {

namespace {

constexpr const char *kRemoteProgram = "/opt/KELWvk/lib/vkrcmd";
constexpr const char *kFarVkgroup = "/opt/KELWvk/sbin/vkgroup";

}  // namespace

FarAnswer run_far_vkgroup(const std::string &host, const std::vector<std::string> &args,
                          size_t max) {
    FarAnswer a;
    std::vector<const char *> argv = {kRemoteProgram, host.c_str(), kFarVkgroup};
    for (const std::string &x : args) argv.push_back(x.c_str());
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return a;
    vk::Fd rd(fds[0]), wr(fds[1]);
    pid_t pid = ::fork();
    if (pid < 0) return a;
    if (pid == 0) {
        // What the remote-command program starts must stop when told to.
        vk::default_signal_state();
        if (::dup2(wr.get(), 1) < 0 || ::dup2(wr.get(), 2) < 0) ::_exit(127);
        ::execv(kRemoteProgram, const_cast<char *const *>(argv.data()));
        ::_exit(127);
    }
    a.started = true;
    wr.reset();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(rd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (a.output.size() + static_cast<size_t>(n) > max) {
            a.too_large = true;
            ::kill(pid, SIGKILL);
            break;
        }
        a.output.append(buf, static_cast<size_t>(n));
    }
    rd.reset();
    while (::waitpid(pid, &a.status, 0) < 0 && errno == EINTR) {
    }
    return a;
}

std::string far_trouble(const std::string &line, const std::string &host, const char *expected) {
    const std::string unreachable = "vkrcmd: cannot reach " + host + ": ";
    if (line.rfind(unreachable, 0) == 0)
        return "cannot reach: " + vk::one_line(line.substr(unreachable.size()));
    if (line.rfind("vkrcmd: ", 0) == 0) return vk::one_line(line.substr(8));
    return std::string("answered something other than ") + expected + ": " + vk::one_line(line);
}

}  // namespace vkgroup
