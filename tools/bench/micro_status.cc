// Micro-benchmark of the authentication manager's status reply: cutting a
// reply of n terminals into records, parsing them and building the status
// list sorted by token name, in pieces as the socket delivers them.
#include <string>

#include <benchmark/benchmark.h>

#include "auth_reply.h"

namespace {

const char kKeys[] =
    "~terminalCID~terminalId~tokenName~firmware~tokenName~encryptUpType~encryptDownType~"
    "authenticateUpType~authenticateDownType~securityMode~MultiheadTerminalIndex~"
    "MultiheadGroupName~MultiheadData~MultiheadPrimary~terminalCID~MultiheadGroupName~";

// Terminals in the order of their ids, as the manager sends them; their
// tokens in another order, a fifth with security values.
std::string reply(int n) {
    std::string r;
    for (int i = 0; i < n; ++i) {
        r += "begin\nterminalCID=IEEE802." + std::to_string(100000000 + i) + "\ntokenName=user.s" +
             std::to_string((i * 7919LL) % 100003) + "\n";
        if (i % 5 == 0)
            r += "encryptUpType=arcfour\nencryptDownType=arcfour\nauthenticateUpType=none\n"
                 "authenticateDownType=none\nsecurityMode=hard\n";
        r += "end\n";
    }
    return r;
}

void BM_StatusReply(benchmark::State &state) {
    const std::string text = reply(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        vk_KeyValuesNode_t *list = nullptr;
        vk::StatusReply r(&list, VK_SORT_BY_TOKEN, kKeys, nullptr);
        for (size_t at = 0; at < text.size(); at += 511)
            r.feed(text.data() + at, std::min<size_t>(511, text.size() - at));
        benchmark::DoNotOptimize(list);
        state.PauseTiming();
        vk_free_KeyValuesNode_list(list);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_StatusReply)->RangeMultiplier(10)->Range(100, 100000)->Complexity();

}  // namespace
