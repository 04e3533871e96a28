// vkrcmd HOST COMMAND [ARGUMENT...]
//
// Runs COMMAND with its arguments as root on HOST, another server of the
// failover group, over OpenSSH with the group's key. The administration
// library starts us through a shell to run vksession in machine mode on
// the server that holds a session.
//
// What callers rely on:
// - Every line that the far command prints, on either of its output
//   streams, arrives on our standard output, in the order printed: the far
//   command line ends in "2>&1".
// - Our exit status is the far command's.
// - When HOST cannot be reached (no such host, no answer within the
//   connect time-out, refused, host key unknown or changed, group key not
//   accepted) we print one diagnostic line on standard error,
//   "vkrcmd: cannot reach HOST: <what ssh said>", and exit with 255. The
//   line never starts with "INSERT_TOKEN=" or "**ERROR: ", so that the
//   library cannot take it for an answer of the far vksession. Our own
//   refusals (bad arguments, a missing group file) are one "vkrcmd: ..."
//   line and 255 too.
//
// Each argument after HOST is one word on the far side: the far shell gets
// every word quoted (see shell_words.h), so nothing in an argument is run
// as a command, expanded or split there. HOST must look like a host name
// or an address: a name that starts with "-" would be taken by ssh as an
// option (-oProxyCommand=... runs a command here), one with "@" would
// choose another user.
//
// The connection: user root; only the group's key, never an agent or
// root's own keys; host keys only from the group's known-hosts file,
// checked strictly and never updated; no prompts (BatchMode); a connect
// time-out of kConnectTimeout seconds; a dead peer noticed within a
// minute; no terminal, no forwarding; standard input not read. The
// group's ssh_config, when present, can add settings (a port, an address)
// but cannot loosen these: options on the command line win over the file.
// Without that file no configuration file is read at all, so root's own
// ~/.ssh/config cannot change where the group's commands go.
//
// One ambiguity is left: ssh itself exits with 255 when it fails, and a far
// command may exit with 255 too. We count a 255 as a failure of the
// connection only when ssh said something on its standard error (a far
// command's own messages reach our standard output through "2>&1").
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common.h"
#include "group.h"
#include "shell_words.h"

namespace {

constexpr const char *kSsh = "/usr/bin/ssh";
constexpr int kConnectTimeout = 5;
constexpr int kFailed = 255;
// ssh says a line or two when it fails; more than this is not kept.
constexpr size_t kMaxSshMessages = size_t{64} * 1024;
// The diagnostic must fit the library's 1024-byte line buffer.
constexpr size_t kMaxDiagnostic = 800;

int fail(const std::string &why) {
    std::fprintf(stderr, "vkrcmd: %s\n", vksrv::printable(why).c_str());
    return kFailed;
}

// A host name, or an IPv4 or IPv6 address: letters, digits, ".", "-", "_"
// and ":", starting with a letter or digit.
bool valid_host(std::string_view h) {
    if (h.empty() || h.size() > 253) return false;
    auto alnum = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    if (!alnum(h[0])) return false;
    for (char c : h)
        if (!alnum(c) && c != '.' && c != '-' && c != '_' && c != ':') return false;
    return true;
}

// The group's ssh_config is read as root and may name commands to run
// (ProxyCommand): it must be a regular file of root's that no one else can
// write. Answers an error text, or empty when the file is fine.
std::string check_config(const char *path) {
    struct stat st;
    if (::lstat(path, &st) != 0) return std::string(path) + ": " + std::strerror(errno);
    if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)))
        return std::string(path) + ": not a regular file that only root may write";
    return {};
}

// ssh's messages as one line: blank lines dropped, carriage returns and
// other control characters removed, lines joined by " / ".
std::string one_line(const std::string &text) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty()) continue;
        if (!out.empty()) out += " / ";
        out += vksrv::printable(line);
    }
    if (out.size() > kMaxDiagnostic) out.resize(kMaxDiagnostic);
    return out;
}

std::vector<std::string> ssh_arguments(const std::string &host, const std::string &remote,
                                       bool with_config) {
    std::vector<std::string> a = {"ssh", "-F", with_config ? vksrv::kGroupSshConfig : "none"};
    for (const char *o : {"-n", "-T", "-x", "-a"}) a.push_back(o);
    a.insert(a.end(), {"-l", "root", "-i", vksrv::kGroupKey});
    const std::string options[] = {
        "IdentitiesOnly=yes",
        "IdentityAgent=none",
        "BatchMode=yes",
        "ConnectTimeout=" + std::to_string(kConnectTimeout),
        "ServerAliveInterval=15",
        "ServerAliveCountMax=4",
        "StrictHostKeyChecking=yes",
        std::string("UserKnownHostsFile=") + vksrv::kGroupKnownHosts,
        "GlobalKnownHostsFile=/dev/null",
        "UpdateHostKeys=no",
        "CheckHostIP=no",
        "ControlMaster=no",
        "ControlPath=none",
        "ClearAllForwardings=yes",
        "PermitLocalCommand=no",
        "RequestTTY=no",
        "LogLevel=ERROR",
    };
    for (const std::string &o : options) a.insert(a.end(), {"-o", o});
    a.insert(a.end(), {"--", host, remote});
    return a;
}

// Runs ssh with `args`; its standard output is ours, its standard error is
// collected into `messages`. Answers its wait status, or -1 when it could
// not be started.
int run_ssh(const std::vector<std::string> &args, std::string &messages) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    vksrv::Fd r(fds[0]), w(fds[1]);
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (const std::string &s : args) argv.push_back(const_cast<char *>(s.c_str()));
    argv.push_back(nullptr);
    char path_env[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char *envp[] = {path_env, nullptr};

    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (::dup2(w.get(), 2) < 0) ::_exit(kFailed);
        ::execve(kSsh, argv.data(), envp);
        ::_exit(kFailed);
    }
    w.reset();
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(r.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (messages.size() < kMaxSshMessages) messages.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    vksrv::ensure_std_fds();
    if (argc < 3) return fail("usage: vkrcmd HOST COMMAND [ARGUMENT...]");
    std::string host = argv[1];
    if (!valid_host(host)) return fail("not a host name: " + host);
    for (const char *f : {vksrv::kGroupKey, vksrv::kGroupKnownHosts})
        if (::access(f, R_OK) != 0)
            return fail("cannot reach " + host + ": " + f + ": " + std::strerror(errno));
    struct stat st;
    bool with_config = ::lstat(vksrv::kGroupSshConfig, &st) == 0;
    if (with_config) {
        std::string bad = check_config(vksrv::kGroupSshConfig);
        if (!bad.empty()) return fail("cannot reach " + host + ": " + bad);
    }

    std::vector<std::string> words(argv + 2, argv + argc);
    std::string remote = vk::shell_words(words) + " " + vksrv::kMergeStreams;

    std::string messages;
    int status = run_ssh(ssh_arguments(host, remote, with_config), messages);
    if (status < 0) return fail(std::string("cannot start ") + kSsh + ": " + std::strerror(errno));
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::string said = one_line(messages);
    if (code == kFailed && !said.empty()) return fail("cannot reach " + host + ": " + said);
    // Anything else on ssh's standard error came from the far side (a login
    // message, a shell that failed before our command ran): pass it on.
    if (!messages.empty()) {
        std::fwrite(messages.data(), 1, messages.size(), stderr);
        std::fflush(stderr);
    }
    return code;
}
