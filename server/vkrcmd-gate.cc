// vkrcmd-gate: the forced command of the failover group's key.
//
// On a server of the group, root's authorized_keys holds the group's
// public key as
//     command="/opt/KELWvk/lib/vkrcmd-gate",restrict ssh-ed25519 AAAA... vkgroup
// so that sshd runs this program instead of whatever the other server
// asked for, with the asked-for command line in SSH_ORIGINAL_COMMAND. A
// stolen group key is then good for nothing but reading and acting on
// sessions through vksession in machine mode.
//
// The command line is never given to a shell: it is taken apart here by the
// rules that vkrcmd quotes by (see gate.h), checked, and vksession is
// executed directly with the words as its arguments and a fixed PATH.
// A trailing "2>&1" merges vksession's standard error into its standard
// output, as a shell would.
//
// A refused line is answered with "vkrcmd-gate: refused: <why>" on standard
// error and exit status 1, and logged (facility authpriv, warning) with the
// line; every line let through is logged at the information level.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <syslog.h>
#include <unistd.h>

#include "common.h"
#include "gate.h"

namespace {

int refuse(const std::string &line, const std::string &why) {
    std::fprintf(stderr, "vkrcmd-gate: refused: %s\n", vksrv::printable(why).c_str());
    syslog(LOG_WARNING, "refused \"%s\": %s", vksrv::printable(line).c_str(),
           vksrv::printable(why).c_str());
    return 1;
}

}  // namespace

int main() {
    vksrv::ensure_std_fds();
    openlog("vkrcmd-gate", LOG_PID, LOG_AUTHPRIV);
    const char *original = std::getenv("SSH_ORIGINAL_COMMAND");
    if (!original) return refuse("", "no command (logins are not allowed)");
    std::string line = original;
    vksrv::GateDecision d = vksrv::gate_decide(line);
    if (!d.allowed) return refuse(line, d.why);

    if (d.merge && ::dup2(1, 2) < 0) return refuse(line, "cannot merge the output streams");
    syslog(LOG_INFO, "running \"%s\"", vksrv::printable(line).c_str());
    std::vector<char *> argv;
    for (std::string &w : d.argv) argv.push_back(w.data());
    argv.push_back(nullptr);
    char path_env[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char *envp[] = {path_env, nullptr};
    // The program is one of the gate's fixed paths: argv[0] was compared
    // with them word for word.
    const char *program = d.argv[0] == vksrv::kVkgroup ? vksrv::kVkgroup : vksrv::kVksession;
    ::execve(program, argv.data(), envp);
    return refuse(line, std::string("cannot run ") + program + ": " + std::strerror(errno));
}
