// vkrcmd HOST COMMAND [ARGUMENT...]
// vkrcmd --close HOST
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
//   accepted, the connection lost before the command ended) we print one
//   diagnostic line on standard error, "vkrcmd: cannot reach HOST: <what
//   ssh said>", and exit with 255. The line never starts with
//   "INSERT_TOKEN=" or "**ERROR: ", so that the library cannot take it for
//   an answer of the far vksession. Our own refusals (bad arguments, a
//   missing group file, an unsafe file or directory) are one "vkrcmd: ..."
//   line and 255 too.
// - Nothing we start holds a descriptor of the caller's after we end (see
//   below), so a caller that reads our output through a pipe sees its end
//   when we end.
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
// checked strictly and never updated; no prompts (BatchMode); a dead peer
// noticed within (kAliveCount + 1) * kAliveInterval seconds; no terminal,
// no forwarding; standard input not read. These stand on ssh's command
// line, which wins over every configuration file. ssh reads one file, the
// product's defaults (kSshDefaults), which includes the group's ssh_config
// first and then sets what a site may choose: the connect time-out (5 s)
// and how long an idle connection stays (60 s). ssh keeps the first value
// it reads, so the group's file can change both, and add settings of its
// own (a port, an address), but cannot loosen the rest. No other file is
// read, so root's own ~/.ssh/config cannot change where the group's
// commands go.
//
// Shared connections: the first call to a server leaves its connection
// open in the background (the master, "ssh: <socket> [mux]" in ps) for
// calls that follow, which then skip the connect and the login; the master
// ends once it has been idle for the time set, or when its server stops
// answering. Its socket lives in kControlDir, which we make when missing
// and refuse to use unless it is a directory of root's that no one else
// may enter. A master outlives the call that made it, and keeps whatever
// descriptors it was given: ssh is started with nothing open beyond the
// standard three. "--close HOST" ends the master connection to HOST, if
// there is one (status 0 either way): after a call to HOST was given up,
// its connection should not live on.
//
// One ambiguity is left: ssh itself exits with 255 when it fails, and a far
// command may exit with 255 too. We count a 255 as a failure of the
// connection when ssh said something on its standard error (a far
// command's own messages reach our standard output through "2>&1"), or
// when it said nothing and no master connection to HOST runs afterwards:
// a shared connection that ends under a call leaves the call silent.
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

#include "child_signals.h"
#include "common.h"
#include "group.h"
#include "shell_words.h"

namespace {

constexpr const char *kSsh = "/usr/bin/ssh";
constexpr int kFailed = 255;
// A master connection asks the server for a sign of life after this many
// seconds without a word from it, and gives up once this many questions in
// a row went unanswered: a server that went away is noticed within
// (kAliveCount + 1) * kAliveInterval seconds. Until then every call that
// shares the connection waits, so this is kept short, and on the command
// line: no configuration file may make a dead connection hold the calls
// longer.
constexpr int kAliveInterval = 3;
constexpr int kAliveCount = 2;
// ssh says a line or two when it fails; more than this is not kept.
constexpr size_t kMaxSshMessages = size_t{64} * 1024;
// The diagnostic must fit the library's 1024-byte line buffer.
constexpr size_t kMaxDiagnostic = 800;
// How ssh's line begins when no master connection answers a request.
constexpr std::string_view kNoMaster = "Control socket connect(";

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

// A configuration file is read as root and may name commands to run
// (ProxyCommand, Match exec): it must be a regular file of root's that no
// one else can write. Answers an error text, or empty when the file is fine.
std::string check_config(const char *path) {
    struct stat st;
    if (::lstat(path, &st) != 0) return std::string(path) + ": " + std::strerror(errno);
    if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)))
        return std::string(path) + ": not a regular file that only root may write";
    return {};
}

// ssh's notes about the shared connection that say nothing about the call:
// two calls that made the first connection to a server at the same time
// (the later one ran on a connection of its own), or a master connection
// that went away as a call asked it for a session (the call then connected
// by itself, and said so if that failed too).
bool sharing_notice(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line.starts_with("mux_client_") || line.starts_with("muxclient:") ||
           (line.starts_with("ControlSocket ") &&
            line.ends_with(" already exists, disabling multiplexing"));
}

// `text` without the lines that sharing_notice() picks, the others as they were.
std::string without_sharing_notices(const std::string &text) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string_view line(text.data() + pos, end - pos);
        if (!sharing_notice(line)) out += line;
        pos = end;
    }
    return out;
}

// Whether ssh's messages on a request to the master say that there is none
// (ssh may warn about other things first, such as a missing key).
bool no_master(const std::string &text) {
    for (size_t pos = 0; pos < text.size();) {
        if (std::string_view(text).substr(pos).starts_with(kNoMaster)) return true;
        size_t end = text.find('\n', pos);
        pos = end == std::string::npos ? text.size() : end + 1;
    }
    return false;
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

// The directory of the master connections' sockets. Whoever can reach a
// socket there can run commands on the group's servers as root through it,
// or answer in a server's name, so the directory must be root's alone and
// no one else may be able to put another in its place. Answers an error
// text, or empty when the directory is fine (made first when missing).
std::string control_dir_problem() {
    const std::string dir = vksrv::kControlDir, parent = vksrv::kControlParent;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        // A server that has never had a session may lack the product's
        // directory under /var/opt.
        if (errno != ENOENT || (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) ||
            (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST))
            return dir + ": " + std::strerror(errno);
    }
    struct stat st;
    if (::lstat(parent.c_str(), &st) != 0) return parent + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)))
        return parent + ": not a directory that only root may write";
    if (::lstat(dir.c_str(), &st) != 0) return dir + ": " + std::strerror(errno);
    if (S_ISLNK(st.st_mode)) return dir + ": a symbolic link";
    if (!S_ISDIR(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IRWXG | S_IRWXO)))
        return dir + ": not a directory that only root may use";
    return {};
}

// The client options. Those that keep the connection safe stand on the
// command line, where no configuration file can change them; the site's
// own choices (how long an idle connection stays, how long to wait for a
// server to answer) are in the product's defaults file, after the group's
// ssh_config, so that the group's settings win.
//
// `remote` is the far command line; without one, `control` is a request to
// the master connection (ssh -O).
std::vector<std::string> ssh_arguments(const std::string &host, const std::string &remote,
                                       const char *control = nullptr) {
    std::vector<std::string> a = {"ssh", "-F", vksrv::kSshDefaults};
    for (const char *o : {"-n", "-T", "-x", "-a"}) a.push_back(o);
    a.insert(a.end(), {"-l", "root", "-i", vksrv::kGroupKey});
    const std::string options[] = {
        "IdentitiesOnly=yes",
        "IdentityAgent=none",
        "BatchMode=yes",
        "ServerAliveInterval=" + std::to_string(kAliveInterval),
        "ServerAliveCountMax=" + std::to_string(kAliveCount),
        "StrictHostKeyChecking=yes",
        std::string("UserKnownHostsFile=") + vksrv::kGroupKnownHosts,
        "GlobalKnownHostsFile=/dev/null",
        "UpdateHostKeys=no",
        "CheckHostIP=no",
        "ControlMaster=auto",
        std::string("ControlPath=") + vksrv::kControlDir + "/%C",
        "ClearAllForwardings=yes",
        "PermitLocalCommand=no",
        "RequestTTY=no",
        "LogLevel=ERROR",
    };
    for (const std::string &o : options) a.insert(a.end(), {"-o", o});
    if (control) a.insert(a.end(), {"-O", control});
    a.insert(a.end(), {"--", host});
    if (!remote.empty()) a.push_back(remote);
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
        // The master connection that ssh may leave behind keeps every
        // descriptor it inherits for as long as it lives: a pipe of our
        // caller's among them would not see its end until the connection
        // goes. ssh closes what it inherits above the standard three as it
        // starts (and sends those three to /dev/null in the master), but
        // that is its business: nothing of the caller's reaches it.
        ::closefrom(3);
        // Nor should it hold on to the caller's working directory, or
        // keep a signal that its starter blocks or ignores from ending it.
        if (::chdir("/") != 0) ::_exit(kFailed);
        vk::default_signal_state();
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

int exit_code(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Whether a master connection to `host` answers.
bool master_running(const std::string &host) {
    std::string ignored;
    int status = run_ssh(ssh_arguments(host, "", "check"), ignored);
    return status >= 0 && exit_code(status) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    vksrv::ensure_std_fds();
    const bool close = argc >= 2 && std::string_view(argv[1]) == "--close";
    if (close ? argc != 3 : argc < 3)
        return fail("usage: vkrcmd HOST COMMAND [ARGUMENT...] | vkrcmd --close HOST");
    std::string host = argv[close ? 2 : 1];
    if (!valid_host(host)) return fail("not a host name: " + host);
    if (!close)
        for (const char *f : {vksrv::kGroupKey, vksrv::kGroupKnownHosts})
            if (::access(f, R_OK) != 0)
                return fail("cannot reach " + host + ": " + f + ": " + std::strerror(errno));
    // Both configuration files are checked before ssh reads either (even
    // to end a connection it reads them, and they may name commands to
    // run); the group's file may be absent.
    std::string bad = check_config(vksrv::kSshDefaults);
    struct stat st;
    if (bad.empty() && (::lstat(vksrv::kGroupSshConfig, &st) == 0 || errno != ENOENT))
        bad = check_config(vksrv::kGroupSshConfig);
    if (bad.empty()) bad = control_dir_problem();
    if (!bad.empty()) return fail("cannot reach " + host + ": " + bad);

    if (close) {
        std::string messages;
        int status = run_ssh(ssh_arguments(host, "", "exit"), messages);
        if (status < 0)
            return fail(std::string("cannot start ") + kSsh + ": " + std::strerror(errno));
        // No master to end is as good as an ended one.
        if (exit_code(status) == 0 || no_master(messages)) return 0;
        return fail("cannot close the connection to " + host + ": " + one_line(messages));
    }

    std::vector<std::string> words(argv + 2, argv + argc);
    std::string remote = vk::shell_words(words) + " " + vksrv::kMergeStreams;

    std::string messages;
    int status = run_ssh(ssh_arguments(host, remote), messages);
    if (status < 0) return fail(std::string("cannot start ") + kSsh + ": " + std::strerror(errno));
    int code = exit_code(status);
    messages = without_sharing_notices(messages);
    if (code == kFailed) {
        std::string said = one_line(messages);
        if (!said.empty()) return fail("cannot reach " + host + ": " + said);
        // A call that shares a connection learns nothing when the master
        // connection ends under it (the server went away mid-command): it
        // ends with 255, silently. The far command's own 255 leaves the
        // master running.
        if (!master_running(host))
            return fail("cannot reach " + host + ": connection lost before the command ended");
    }
    // Anything else on ssh's standard error came from the far side (a login
    // message, a shell that failed before our command ran): pass it on.
    if (!messages.empty()) {
        std::fwrite(messages.data(), 1, messages.size(), stderr);
        std::fflush(stderr);
    }
    return code;
}
