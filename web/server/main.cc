// vkweb: the failover group's sessions in a browser, over HTTPS.
//
// Started as root, it reads its configuration, certificate and key, starts
// its privileged helper (vkweb-helper, on a socket pair), opens its
// listening socket, and then drops everything it does not need: it moves
// into an empty directory as its root, becomes the unprivileged user of the
// configuration, and can gain no privilege again. Only then does it read a
// byte from the network. Passwords and session operations go to the
// helper, which checks each request on its own.
#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <memory>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <pwd.h>
#include <spawn.h>
#include <string>
#include <vector>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "channel.h"
#include "child_signals.h"
#include "config.h"
#include "deadlines.h"
#include "vkcxx.h"
#include "web.h"

extern char **environ;

namespace {

using namespace vkweb;

constexpr const char *kHelper = "/opt/KELWvk/lib/vkweb-helper";
constexpr const char *kEmptyRoot = "/run/vkweb";
constexpr size_t kMaxFormFields = 1100;
// A connection has this long to bring in a request, from its start or from
// the end of its previous request (the server library's idle time-out
// alone would start over with every byte).
constexpr std::chrono::seconds kRequestTime{15};
// TLS 1.2 only with a key exchange that keeps past sessions secret, and an
// AEAD cipher: no static RSA, no CBC, no SHA-1. (With the package's EC
// certificate most of these cannot be chosen anyway; a site's own RSA
// certificate opens them all.)
constexpr const char *kTlsPriorities =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-RSA:-SHA1:-AES-128-CBC:-AES-256-CBC:"
    "-CAMELLIA-128-CBC:-CAMELLIA-256-CBC:-3DES-CBC";

constexpr const char *kUsage =
    "usage: vkweb [-c FILE]\n"
    "       vkweb -h\n"
    "\n"
    "Serves the sessions of the failover group to a browser over HTTPS, on the\n"
    "address and port of FILE (/etc/opt/KELWvk/web/vkweb.conf by default), for\n"
    "the members of its admin group. Runs in the foreground, started as root;\n"
    "reads HTTP as the configured user, in an empty root directory (/run/vkweb),\n"
    "and leaves passwords and session operations to /opt/KELWvk/lib/vkweb-helper.\n";

[[noreturn]] void die(const std::string &why) {
    std::fprintf(stderr, "vkweb: %s\n", why.c_str());
    syslog(LOG_ERR, "%s", why.c_str());
    std::exit(1);
}

bool read_file(const std::string &path, std::string &out) {
    vk::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    std::optional<std::string> all = vk::read_all(fd.get(), size_t{1} << 20);
    if (!all) return false;
    out = std::move(*all);
    return true;
}

// The listening socket on the configured address (IPv4 or IPv6) and port.
int listen_on(const Config &c) {
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE | AI_NUMERICSERV;
    struct addrinfo *ai = nullptr;
    std::string port = std::to_string(c.port);
    if (::getaddrinfo(c.address.c_str(), port.c_str(), &hints, &ai) != 0 || !ai)
        die("address is no numeric IPv4 or IPv6 address: " + c.address);
    std::unique_ptr<struct addrinfo, decltype(&::freeaddrinfo)> owned(ai, &::freeaddrinfo);
    vk::Fd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, 0));
    if (!fd) die(std::string("socket: ") + std::strerror(errno));
    int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd.get(), 64) != 0)
        die("cannot listen on " + c.address + " port " + port + ": " + std::strerror(errno));
    return fd.release();
}

// Starts the helper with its ends of the lanes on descriptors kFirstLane
// on. They are first moved above the lanes' numbers, so that placing one
// cannot overwrite another.
pid_t start_helper(const std::vector<vk::Fd> &helper_ends, const std::string &config) {
    std::vector<vk::Fd> high;
    for (const vk::Fd &end : helper_ends) {
        high.emplace_back(::fcntl(end.get(), F_DUPFD_CLOEXEC, kFirstLane + kLanes));
        if (!high.back()) die(std::string("fcntl: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    for (size_t i = 0; i < high.size(); ++i)
        posix_spawn_file_actions_adddup2(&fa, high[i].get(), kFirstLane + static_cast<int>(i));
    // Not the signals that this process blocks to take them in sigwait,
    // nor its ignored SIGPIPE: the helper, and what it starts, must end on
    // a service stop like any program.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    vk::default_signal_attr(attr);
    const char *argv[] = {kHelper, "-c", config.c_str(), nullptr};
    char path_env[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char *envp[] = {path_env, nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, kHelper, &fa, &attr, const_cast<char *const *>(argv), envp);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) die(std::string("cannot start ") + kHelper + ": " + std::strerror(rc));
    return pid;
}

// Into the empty root, as the unprivileged user, for good.
void drop_privileges(const Config &c) {
    struct passwd *pw = ::getpwnam(c.user.c_str());
    if (!pw || pw->pw_uid == 0 || pw->pw_gid == 0) die("no unprivileged account " + c.user);
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    struct stat st;
    if (::lstat(kEmptyRoot, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0 ||
        (st.st_mode & (S_IWGRP | S_IWOTH)))
        die(std::string(kEmptyRoot) + " is no directory of root's that only root may write");
    if (::chroot(kEmptyRoot) != 0 || ::chdir("/") != 0)
        die(std::string("cannot change root to ") + kEmptyRoot + ": " + std::strerror(errno));
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
        ::setresuid(uid, uid, uid) != 0)
        die(std::string("cannot become ") + c.user + ": " + std::strerror(errno));
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) die("cannot forbid new privileges");
    if (::setuid(0) == 0 || ::geteuid() == 0) die("root could be regained");
}

// ---- the HTTP server library's side ---------------------------------------------------------

struct Server {
    Channel *channel;
    Deadlines *deadlines;
};

// What arrives of a request before it is answered.
struct Pending {
    std::string body;
    size_t limit = 0;
};

int fd_of(struct MHD_Connection *c) {
    const union MHD_ConnectionInfo *info =
        MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    return info ? info->connect_fd : -1;
}

// Whether the headers announce a body, and its length when they say it
// (chunked: none said); false for a length that is no number.
bool announced_body(struct MHD_Connection *c, bool &any, std::optional<size_t> &length) {
    const char *cl =
        MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    const char *te =
        MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
    any = te != nullptr;
    length.reset();
    if (!cl) return true;
    std::string_view v(cl);
    size_t n = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec != std::errc() || end != v.data() + v.size()) return false;
    length = n;
    any = any || n > 0;
    return true;
}

HttpResponse refusal(int status, const char *title, const char *text) {
    HttpResponse res;
    res.status = status;
    res.body = std::string("<!DOCTYPE html><title>") + title + "</title><p>" + text + "</p>\n";
    return res;
}

std::string client_of(struct MHD_Connection *c) {
    const union MHD_ConnectionInfo *info =
        MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "?";
    if (info && info->client_addr) {
        const struct sockaddr *sa = info->client_addr;
        if (sa->sa_family == AF_INET)
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, text,
                        sizeof text);
        else if (sa->sa_family == AF_INET6)
            ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, text,
                        sizeof text);
    }
    return text;
}

MHD_Result collect_query(void *cls, enum MHD_ValueKind, const char *key, const char *value) {
    auto *q = static_cast<std::map<std::string, std::string> *>(cls);
    if (key && q->size() < 32) q->emplace(key, value ? value : "");
    return MHD_YES;
}

// The body goes to the server library as it is, without a copy; the
// library frees it when the response is sent.
void free_body(void *body) {
    delete static_cast<std::string *>(body);
}

MHD_Result send(struct MHD_Connection *c, HttpResponse &res, bool head) {
    auto *body = new std::string(head ? std::string() : std::move(res.body));
    struct MHD_Response *r = MHD_create_response_from_buffer_with_free_callback_cls(
        body->size(), body->data(), &free_body, body);
    if (!r) {
        delete body;
        return MHD_NO;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, res.content_type.c_str());
    if (!res.content_encoding.empty())
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_ENCODING, res.content_encoding.c_str());
    MHD_add_response_header(r, MHD_HTTP_HEADER_VARY, "Accept-Encoding");
    for (const auto &[k, v] : security_headers(res))
        MHD_add_response_header(r, k.c_str(), v.c_str());
    for (const auto &[k, v] : res.headers) MHD_add_response_header(r, k.c_str(), v.c_str());
    MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(res.status), r);
    MHD_destroy_response(r);
    return ok;
}

MHD_Result answer(void *cls, struct MHD_Connection *c, const char *url, const char *method,
                  const char *, const char *upload, size_t *upload_size, void **state) {
    auto *server = static_cast<Server *>(cls);
    if (!*state) {
        // The headers are in: a body that the route does not take, or one
        // larger than it takes, is refused now, before a byte of it is read
        // (the server library then closes the connection).
        auto pending = std::make_unique<Pending>();
        pending->limit = body_limit(method, url);
        bool any = false;
        std::optional<size_t> length;
        if (!announced_body(c, any, length)) {
            HttpResponse res = refusal(400, "Bad request", "The request's length cannot be read.");
            return send(c, res, false);
        }
        if (any && (pending->limit == 0 || (length && *length > pending->limit))) {
            HttpResponse res = refusal(413, "Too large", "The request is too large.");
            return send(c, res, false);
        }
        *state = pending.release();
        return MHD_YES;
    }
    auto *pending = static_cast<Pending *>(*state);
    if (*upload_size) {
        // A chunked body has no length to judge it by in advance.
        if (pending->body.size() + *upload_size > pending->limit) return MHD_NO;
        pending->body.append(upload, *upload_size);
        *upload_size = 0;
        return MHD_YES;
    }
    // The request is in whole; its answer may take as long as the helper
    // takes, and the library's idle time-out covers the sending.
    server->deadlines->disarm(fd_of(c));
    HttpRequest req;
    req.method = method;
    req.path = url;
    req.client = client_of(c);
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, &collect_query, &req.query);
    const char *s = MHD_lookup_connection_value(c, MHD_COOKIE_KIND, "__Host-vkweb_session");
    const char *l = MHD_lookup_connection_value(c, MHD_COOKIE_KIND, "vkweb_login");
    const char *accept =
        MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING);
    req.accept_encoding = accept ? std::string(accept).substr(0, 256) : "";
    req.session_cookie = s ? s : "";
    req.login_cookie = l ? l : "";
    HttpResponse res;
    if (req.method == "POST" && !parse_form(pending->body, kMaxFormFields, req.form)) {
        res.status = 400;
        res.body = "<!DOCTYPE html><title>Bad request</title><p>The form cannot be read.</p>\n";
    } else {
        res = handle(req, [server](const Message &m) { return server->channel->call(m); });
    }
    return send(c, res, req.method == "HEAD");
}

void finished(void *cls, struct MHD_Connection *c, void **state, enum MHD_RequestTerminationCode) {
    delete static_cast<Pending *>(*state);
    *state = nullptr;
    // The next request on this connection has its own time.
    static_cast<Server *>(cls)->deadlines->arm(fd_of(c),
                                               std::chrono::steady_clock::now() + kRequestTime);
}

void connection(void *cls, struct MHD_Connection *c, void **,
                enum MHD_ConnectionNotificationCode what) {
    auto *server = static_cast<Server *>(cls);
    int fd = fd_of(c);
    if (fd < 0) return;
    if (what == MHD_CONNECTION_NOTIFY_STARTED)
        server->deadlines->watch(fd, std::chrono::steady_clock::now() + kRequestTime);
    else
        server->deadlines->forget(fd);
}

}  // namespace

int main(int argc, char **argv) {
    std::string config_path = kConfigFile;
    int ch;
    while ((ch = getopt(argc, argv, "c:h")) != -1) {
        if (ch == 'c') {
            config_path = optarg;
        } else if (ch == 'h') {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (optind != argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // The server's threads build pages of up to a few MiB: one heap for
    // them all, and one that keeps such blocks for the next page rather
    // than mapping, zeroing and unmapping them for each.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, 16 << 20);
    mallopt(M_TRIM_THRESHOLD, 32 << 20);
    // The log's socket is opened now: after the change of root there is no
    // /dev/log to open.
    openlog("vkweb", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    if (::geteuid() != 0) die("must be started as root (it drops to its own user itself)");
    Config cfg;
    std::string error;
    if (!read_config(config_path, cfg, error)) die(error);
    std::string cert, key;
    if (!read_file(cfg.certificate, cert)) die("cannot read the certificate " + cfg.certificate);
    if (!read_file(cfg.key, key)) die("cannot read the key " + cfg.key);
    set_refresh(cfg.refresh);

    // The signals that end us are taken by sigwait below, in this thread
    // only; the server's threads inherit the mask.
    sigset_t ending;
    sigemptyset(&ending);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&ending, sig);
    ::sigprocmask(SIG_BLOCK, &ending, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<vk::Fd> mine, helper_ends;
    for (int i = 0; i < kLanes; ++i) {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            die(std::string("socketpair: ") + std::strerror(errno));
        mine.emplace_back(pair[0]);
        helper_ends.emplace_back(pair[1]);
    }
    pid_t helper = start_helper(helper_ends, config_path);
    helper_ends.clear();
    vk::Fd listener(listen_on(cfg));
    drop_privileges(cfg);

    std::vector<int> lanes;
    lanes.reserve(mine.size());
    for (const vk::Fd &fd : mine) lanes.push_back(fd.get());
    Channel channel(lanes);
    Deadlines deadlines;
    Server server{&channel, &deadlines};
    // A thread for each connection: a request that waits for the group
    // holds up its own connection only. (cppcheck gives up on the long
    // variadic call and says so as an error of its own.)
    // cppcheck-suppress cppcheckError
    struct MHD_Daemon *d = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_TLS |
            MHD_USE_ERROR_LOG,
        0, nullptr, nullptr, &answer, &server, MHD_OPTION_LISTEN_SOCKET, listener.get(),
        MHD_OPTION_HTTPS_MEM_KEY, key.c_str(), MHD_OPTION_HTTPS_MEM_CERT, cert.c_str(),
        MHD_OPTION_HTTPS_PRIORITIES, kTlsPriorities, MHD_OPTION_THREAD_STACK_SIZE,
        size_t{512} * 1024, MHD_OPTION_CONNECTION_LIMIT, 256u, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        64u, MHD_OPTION_CONNECTION_TIMEOUT, 30u, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        size_t{256} * 1024, MHD_OPTION_NOTIFY_COMPLETED, &finished, &server,
        MHD_OPTION_NOTIFY_CONNECTION, &connection, &server, MHD_OPTION_END);
    if (!d) die("cannot start the HTTPS server (is the certificate or key broken?)");
    (void)listener.release();  // the server closes it
    syslog(LOG_INFO, "serving https://%s:%d/ as %s", cfg.address.c_str(), cfg.port,
           cfg.user.c_str());

    int status = 0;
    for (;;) {
        int sig = 0;
        if (sigwait(&ending, &sig) != 0) continue;
        if (sig == SIGCHLD) {
            int st = 0;
            if (::waitpid(helper, &st, WNOHANG) != helper) continue;
            syslog(LOG_ERR, "the privileged helper ended; ending");
            status = 1;
        }
        break;
    }
    MHD_stop_daemon(d);
    return status;
}
