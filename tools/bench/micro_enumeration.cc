// Micro-benchmarks of the enumeration's hot paths, in process and without
// any session file: building the enumeration list and its display index,
// the process table cache (loading and look-ups by pid), and set_unix's
// join of session proc files to the display index. Run:
//   BUILD/tools/bench/vkbench_micro [--benchmark_filter=...]
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "user_session_internal.h"

namespace {

// Display numbers in a scrambled order, as a directory lists them; tokens
// that do not follow the displays, with some repeated.
std::string token_of(int i) {
    return "user.s" + std::to_string((i * 7919LL) % 100003 / 3);
}

std::vector<vk_UserSession_t *> sessions(int n) {
    std::vector<vk_UserSession_t *> v;
    for (int i = 0; i < n; ++i) {
        int d = static_cast<int>((i * 48271LL) % n);
        vk_UserSession_t *s = allocate_userSession();
        s->tokenName = safe_strdup(token_of(i).c_str());
        s->dispNo = safe_strdup(std::to_string(10 + d).c_str());
        s->rawtoken = safe_strdup(("card-" + std::to_string(d)).c_str());
        v.push_back(s);
    }
    return v;
}

void BM_EnumerationList(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<vk_UserSession_t *> v = sessions(n);
        state.ResumeTiming();
        insert_cache_all(v, &cacheList);
        state.PauseTiming();
        free_cache(&cacheList);
        state.ResumeTiming();
    }
    state.SetComplexityN(n);
}
BENCHMARK(BM_EnumerationList)->RangeMultiplier(10)->Range(100, 100000)->Complexity();

// The same list linked one record at a time, as insert_cache does: the
// quadratic cost that the enumeration no longer pays.
void BM_EnumerationListOneByOne(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<vk_UserSession_t *> v = sessions(n);
        state.ResumeTiming();
        for (vk_UserSession_t *s : v) insert_cache(s, &cacheList);
        state.PauseTiming();
        free_cache(&cacheList);
        state.ResumeTiming();
    }
    state.SetComplexityN(n);
}
BENCHMARK(BM_EnumerationListOneByOne)->RangeMultiplier(10)->Range(100, 10000)->Complexity();

// ps output for n processes, pids in the order ps gives them.
std::string ps_output(int n) {
    std::string out = "    PID S   UID COMMAND\n";
    for (int i = 0; i < n; ++i)
        out += "  " + std::to_string(300 + i * 3) + (i % 50 ? " S " : " T ") +
               std::to_string(1000 + i % 40) + " xclock\n";
    return out;
}

int load(const std::string &text) {
    std::FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    int rc = load_processState(f);
    std::fclose(f);
    return rc;
}

void BM_ProcessTableLoad(benchmark::State &state) {
    const std::string text = ps_output(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(load(text));
    reset_processState();
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ProcessTableLoad)->RangeMultiplier(10)->Range(100, 100000)->Complexity();

void BM_ProcessTableLookups(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    load(ps_output(n));
    std::vector<std::string> pids;
    for (int i = 0; i < n; ++i) pids.push_back(std::to_string(300 + ((i * 7LL) % (2 * n)) * 3));
    for (auto _ : state) {
        for (const std::string &p : pids) {
            char *uid, *comm, *pid;
            int s;
            if (get_processState(p.c_str(), &uid, &s, &comm, &pid) == 0) {
                std::free(uid);
                std::free(comm);
                std::free(pid);
            }
        }
    }
    reset_processState();
    state.SetComplexityN(n);
}
BENCHMARK(BM_ProcessTableLookups)->RangeMultiplier(10)->Range(100, 100000)->Complexity();

// set_unix's join for n sessions, every one with a session proc file and a
// process, beside the process table of as many processes.
void BM_SetUnixJoin(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    load(ps_output(n));
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<vk_UserSession_t *> v = sessions(n);
        insert_cache_all(v, &cacheList);
        std::deque<LiveProc> procs;
        for (int i = 0; i < n; ++i)
            procs.push_back(
                {std::to_string(10 + (i * 16807LL) % n), vk::dup("alice"), 300 + i * 3});
        state.ResumeTiming();
        join_session_procs(display_order(), procs);
        state.PauseTiming();
        free_cache(&cacheList);
        state.ResumeTiming();
    }
    reset_processState();
    state.SetComplexityN(n);
}
BENCHMARK(BM_SetUnixJoin)->RangeMultiplier(10)->Range(100, 100000)->Complexity();

}  // namespace
