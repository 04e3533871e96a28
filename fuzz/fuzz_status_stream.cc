// The status reply stream of the authentication manager: the same reply
// cut into reads at fuzzer-chosen boundaries, and read from a socket as the
// status query reads it, must give the same records as the reply fed whole.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "auth_reply.h"
#include "status_checks.h"

namespace {

vk_KeyValuesNode_t *fed(const std::string &reply, const std::vector<size_t> &cuts, int sort,
                        const char *keys) {
    vk_KeyValuesNode_t *list = nullptr;
    vk::StatusReply r(&list, sort, keys, nullptr);
    size_t at = 0, i = 0;
    while (at < reply.size()) {
        size_t n = cuts.empty() ? reply.size() : cuts[i++ % cuts.size()];
        if (n > reply.size() - at) n = reply.size() - at;
        r.feed(reply.data() + at, n);
        at += n;
    }
    return list;
}

// The reply read from a socket pair by the query's own reading loop.
vk_KeyValuesNode_t *read_from_socket(const std::string &reply, int sort, const char *keys) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) fuzz::fail("socketpair");
    ::fcntl(sv[0], F_SETFL, O_NONBLOCK);
    size_t done = 0;
    while (done < reply.size()) {
        ssize_t n = ::write(sv[1], reply.data() + done, reply.size() - done);
        if (n <= 0) fuzz::fail("write to the socket pair");
        done += static_cast<size_t>(n);
    }
    ::close(sv[1]);
    vk_KeyValuesNode_t *list = nullptr;
    vk::StatusReply r(&list, sort, keys, nullptr);
    int rc = vk::read_status_reply(sv[0], r, &list, vk::ReplyLimits{});
    ::close(sv[0]);
    fuzz::check(rc == VK_OK, "a reply that ends is read whole");
    return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    int sort = in.ConsumeIntegralInRange<int>(1, 3);
    std::vector<size_t> cuts(in.ConsumeIntegralInRange<size_t>(1, 8));
    for (size_t &c : cuts) c = in.ConsumeIntegralInRange<size_t>(1, 600);
    std::string reply = in.ConsumeRemainingBytesAsString();
    std::string keys = fuzz::key_filter();

    vk_KeyValuesNode_t *whole = fed(reply, {}, sort, keys.c_str());
    vk_KeyValuesNode_t *pieces = fed(reply, cuts, sort, keys.c_str());
    vk_KeyValuesNode_t *socket = read_from_socket(reply, sort, keys.c_str());
    fuzz::check_status_list(whole, sort, nullptr);
    fuzz::check(fuzz::same_status_lists(whole, pieces), "the cuts of the reads do not matter");
    fuzz::check(fuzz::same_status_lists(whole, socket), "the socket gives the same records");
    for (auto *l : {whole, pieces, socket}) vk_free_KeyValuesNode_list(l);
    return 0;
}
