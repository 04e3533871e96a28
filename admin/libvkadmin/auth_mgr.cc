// Client side of the authentication manager's status protocol: one TCP
// connection, one request line, a reply of "begin"/"end" records read until
// the manager closes the connection.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "auth_reply.h"
#include "user_session_internal.h"
#include "vkadmin.h"
#include "vkcxx.h"

namespace {

constexpr const char *kService = "vkauthd-cb";
constexpr int kFallbackPort = 7010;
// The reply comes in one burst of about a MiB for a thousand terminals:
// read in pieces that take it in a few hundred calls rather than thousands.
constexpr size_t kReadSize = 16384;
constexpr vk::ReplyLimits kLimits;

// "~terminalCID~terminalId~tokenName~firmware~" and every wanted key with a
// "~" after it; null without a key list.
vk::CStr key_filter(char **keys) {
    if (!keys) return nullptr;
    std::string f = "~terminalCID~terminalId~tokenName~firmware~";
    for (char **k = keys; *k; ++k) {
        f += *k;
        f += '~';
    }
    auto *text = static_cast<char *>(safe_malloc(f.size() + 1));
    std::memcpy(text, f.c_str(), f.size() + 1);
    return vk::CStr(text);
}

// Waits until the socket is readable; false when `ms` run out first.
bool wait_readable(int fd, int ms) {
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        // Rounded up: a wait never ends before its time.
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
        int r = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

int ms_until(std::chrono::steady_clock::time_point t) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(t - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

namespace vk {

void StatusReply::feed(const char *data, size_t n) {
    while (n > 0) {
        const auto *nl = static_cast<const char *>(std::memchr(data, '\n', n));
        size_t len = nl ? static_cast<size_t>(nl - data) : n;
        // What does not fit the line's buffer is dropped with the line.
        size_t room = kMaxLine - line_.size();
        line_.append(data, std::min(len, room));
        if (len > room) line_too_long_ = true;
        if (!nl) return;
        if (!line_too_long_) line_done();
        line_.clear();
        line_too_long_ = false;
        data = nl + 1;
        n -= len + 1;
    }
}

void StatusReply::link(vk_KeyValuesNode_t *r) {
    auto key = [this](const vk_KeyValuesNode_t *x) {
        const char *k = sort_ == VK_SORT_BY_TERMINAL ? x->terminal_CID : x->token_name;
        return std::string_view(k ? k : "");
    };
    if (*list_ != indexed_head_) {
        last_of_key_.clear();
        for (vk_KeyValuesNode_t *x = *list_; x; x = x->next) last_of_key_[key(x)] = x;
    }
    auto after = last_of_key_.upper_bound(key(r));
    if (after == last_of_key_.begin()) {
        r->next = *list_;
        *list_ = r;
    } else {
        vk_KeyValuesNode_t *prev = std::prev(after)->second;
        r->next = prev->next;
        prev->next = r;
    }
    last_of_key_[key(r)] = r;
    indexed_head_ = *list_;
}

void StatusReply::line_done() {
    if (line_ == "begin") {
        record_.clear();
        record_too_long_ = false;
    } else if (line_ == "end") {
        if (record_too_long_) return;
        if (sink_) {
            vk_KeyValuesNode_t one;
            room_.resize(record_.size() + 1);
            if (parse_record_in(&one, record_.c_str(), sort_, keys_, desktop_, room_.data(),
                                room_.size()))
                sink_(one);
            return;
        }
        // Parsed into a list of its own, then linked into the reply's list.
        vk_KeyValuesNode_t *one = nullptr;
        parse_record(list_ ? &one : nullptr, record_.c_str(), sort_, keys_, desktop_);
        if (one) link(one);
    } else if (record_.size() + line_.size() + 1 <= kMaxRecord) {
        record_ += line_;
        record_ += '\n';
    } else {
        record_too_long_ = true;
    }
}

int read_status_reply(int fd, StatusReply &reply, vk_KeyValuesNode_t **list,
                      const ReplyLimits &limits) {
    if (!wait_readable(fd, limits.first_ms)) {
        dprintf("getAuthMgrRecords(): poll timed out\n");
        return VK_ERR_AUTHMGR_TIMEOUT;
    }
    auto give_up = [list](int code) {
        if (list) {
            vk_free_KeyValuesNode_list(*list);
            *list = nullptr;
        }
        return code;
    };
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(limits.total_ms);
    size_t total = 0;
    char chunk[kReadSize];
    for (;;) {
        ssize_t n = ::read(fd, chunk, kReadSize);
        if (n == 0) return VK_OK;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            dprintf("getAuthMgrRecords(): read error - %s\n", std::strerror(errno));
            return give_up(VK_ERR_INTERNAL);
        }
        if (n > 0) {
            total += static_cast<size_t>(n);
            if (total > limits.max_bytes) {
                dprintf("getAuthMgrRecords(): reply longer than %zu bytes, abandoned\n",
                        limits.max_bytes);
                return give_up(VK_ERR_INTERNAL);
            }
            reply.feed(chunk, static_cast<size_t>(n));
        }
        // A pause of the manager is waited out, however long, but only
        // until the whole reply's time is up; that is also checked while
        // data keeps coming, so that a trickle cannot hold us either.
        if (n < 0) wait_readable(fd, ms_until(deadline));
        if (ms_until(deadline) == 0) {
            dprintf("getAuthMgrRecords(): reply not complete within %d ms, abandoned\n",
                    limits.total_ms);
            return give_up(VK_ERR_AUTHMGR_TIMEOUT);
        }
    }
}

}  // namespace vk

namespace {

// open_socket; with `quiet`, a failure is neither reported nor logged, and
// a socket that cannot keep its connection alive counts as one.
int connect_to(const char *hostname, short portnum, int is_udp, int maximize, bool quiet) {
    struct sockaddr_in addr {};
    if (!hostname || ::inet_pton(AF_INET, hostname, &addr.sin_addr) != 1) {
        struct hostent *h = hostname ? ::gethostbyname(hostname) : nullptr;
        if (!h || h->h_addrtype != AF_INET || !h->h_addr_list[0]) {
            if (!quiet) {
                dprintf("open_socket(): Could not get host by name (%s)\n",
                        hostname ? hostname : "");
                log_admin("socket", "Error getting host by name (%s).", hostname ? hostname : "");
            }
            return -1;
        }
        std::memcpy(&addr.sin_addr, h->h_addr_list[0], sizeof addr.sin_addr);
    }
    vk::Fd fd(::socket(AF_INET, is_udp ? SOCK_DGRAM : SOCK_STREAM, 0));
    if (!fd) {
        if (!quiet) {
            dprintf("open_socket(): Could not open socket - %s\n", std::strerror(errno));
            log_admin("socket", "Error opening socket - %s.", std::strerror(errno));
        }
        return -1;
    }
    addr.sin_family = AF_INET;
    addr.sin_port = static_cast<in_port_t>(portnum);
    if (::connect(fd.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        if (!quiet) {
            dprintf("open_socket(): Could not connect - %s\n", std::strerror(errno));
            log_admin("socket", "Error connecting - %s.", std::strerror(errno));
        }
        return -1;
    }
    if (maximize) {
        for (int size = 1048576; size > 0; size -= 8192)
            if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0) break;
    }
    int on = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        if (quiet) return -1;
        dprintf("open_socket(): Could not set SO_KEEPALIVE - %s\n", std::strerror(errno));
        log_admin("socket", "Error setting SO_KEEPALIVE - %s.", std::strerror(errno));
    }
    return fd.release();
}

// The status request sent ahead (StatusAhead): its connection, the port it
// went to and when it went.
struct Early {
    bool tried = false;
    unsigned asked = 0;  // calls of send_status_ahead
    vk::Fd sock;
    int port_n = 0;
    std::chrono::steady_clock::time_point sent;
};
Early *early = nullptr;

constexpr const char *kStatusRequest = "status\n";

// The manager's port, in network byte order.
int manager_port(bool quiet) {
    if (struct servent *s = ::getservbyname(kService, "tcp")) return s->s_port;
    if (!quiet) {
        dprintf("getAuthMgrRecords(): Could not find service (%s)\n", kService);
        dprintf("getAuthMgrRecords(): Using hard-coded port (%d)\n", kFallbackPort);
    }
    return htons(kFallbackPort);
}

// The limits of a reply whose request went out `since` ago: what is left
// of them, as if the reading had begun when the request went.
vk::ReplyLimits left_of(const vk::ReplyLimits &limits, std::chrono::steady_clock::duration since) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    auto left = [ms](int budget) { return ms >= budget ? 0 : budget - static_cast<int>(ms); };
    vk::ReplyLimits l = limits;
    l.first_ms = left(limits.first_ms);
    l.total_ms = left(limits.total_ms);
    return l;
}

}  // namespace

int open_socket(const char *hostname, short portnum, int is_udp, int maximize) {
    return connect_to(hostname, portnum, is_udp, maximize, false);
}

StatusAhead::StatusAhead() {
    if (early) return;
    early = new (std::nothrow) Early;
    owner_ = early != nullptr;
}

StatusAhead::~StatusAhead() {
    if (owner_) delete std::exchange(early, nullptr);
}

void send_status_ahead() {
    if (!early || early->tried) return;
    // The probe takes milliseconds, a session file a few microseconds: it
    // is looked at every so many sessions.
    if (early->asked++ % 32 != 0) return;
    int verdict = 0;
    if (!ping_verdict_now(kStatusHost, &verdict)) return;  // asked again later
    early->tried = true;
    if (verdict != 0) return;
    const int port_n = manager_port(true);
    vk::Fd sock(connect_to(kStatusHost, static_cast<short>(port_n), 0, 0, true));
    if (!sock) return;
    ::fcntl(sock.get(), F_SETFL, ::fcntl(sock.get(), F_GETFL) | O_NONBLOCK);
    size_t len = std::strlen(kStatusRequest);
    if (::send(sock.get(), kStatusRequest, len, MSG_NOSIGNAL) != static_cast<ssize_t>(len)) return;
    early->sock = std::move(sock);
    early->port_n = port_n;
    early->sent = std::chrono::steady_clock::now();
}

namespace {

// Asks the manager on `server_name` with `authcommand` and reads the reply
// into the StatusReply that `make_reply(key filter)` gives.
template <typename MakeReply>
int ask_auth_mgr(const char *server_name, const char *authcommand, char **keys,
                 vk_KeyValuesNode_t **key_values, MakeReply &&make_reply) {
    if (!server_name || !authcommand) return VK_ERR_INVALID_ARGS;
    const int port_n = manager_port(false);  // network byte order
    const int port = ntohs(static_cast<uint16_t>(port_n));

    if (ping_host(server_name) != 0) {
        dprintf("getAuthMgrRecords(): No response from host %s:%d\n", server_name, port);
        return VK_ERR_UNREACHABLE;
    }
    dlprintf("b", "opening %s:%d\n", server_name, port);
    // The same request, sent ahead to the same place: its answer is read.
    if (early && early->sock && early->port_n == port_n &&
        std::strcmp(server_name, kStatusHost) == 0 &&
        std::strcmp(authcommand, kStatusRequest) == 0) {
        vk::Fd sock = std::move(early->sock);
        vk::CStr filter = key_filter(keys);
        vk::StatusReply reply = make_reply(filter.get());
        return vk::read_status_reply(
            sock.get(), reply, key_values,
            left_of(kLimits, std::chrono::steady_clock::now() - early->sent));
    }
    vk::Fd sock(open_socket(server_name, static_cast<short>(port_n), 0, 0));
    if (!sock) {
        dprintf("getAuthMgrRecords(): Could not open socket to %s:%d\n", server_name, port);
        return VK_ERR_SOCKET_OPEN;
    }
    ::fcntl(sock.get(), F_SETFL, ::fcntl(sock.get(), F_GETFL) | O_NONBLOCK);

    // MSG_NOSIGNAL: a manager that has already hung up must not end us with
    // SIGPIPE.
    size_t len = std::strlen(authcommand);
    ssize_t w = ::send(sock.get(), authcommand, len, MSG_NOSIGNAL);
    if (w < 0 || static_cast<size_t>(w) < len) {
        dprintf("getAuthMgrRecords(): Could not write command to %s:%d\n", server_name, port);
        return VK_ERR_SOCKET_WRITE;
    }
    vk::CStr filter = key_filter(keys);

    vk::StatusReply reply = make_reply(filter.get());
    return vk::read_status_reply(sock.get(), reply, key_values, kLimits);
}

}  // namespace

int getAuthMgrRecords(const char *server_name, const int sort_order, const char *desktop_id,
                      char **keys, vk_KeyValuesNode_t **key_values, const char *authcommand) {
    return ask_auth_mgr(server_name, authcommand, keys, key_values, [&](const char *filter) {
        return vk::StatusReply(key_values, sort_order, filter, desktop_id);
    });
}

int vk_getAuthMgrRecords(const char *server_name, const int sort_order, const char *desktop_id,
                         char **keys, vk_KeyValuesNode_t **key_values) {
    return getAuthMgrRecords(server_name ? server_name : "127.0.0.1", sort_order, desktop_id, keys,
                             key_values, "status\n");
}

namespace vk {

int for_each_status_record(const char *server_name, char **keys, const StatusReply::Sink &sink) {
    return ask_auth_mgr(server_name, "status\n", keys, nullptr, [&](const char *filter) {
        return StatusReply(sink, VK_SORT_BY_TOKEN, filter, nullptr);
    });
}

}  // namespace vk
