// Output of the process tree tool, read back for a session's client as the
// stop and continue commands are built from it.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "pipe_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The first line names the session's client, as its session proc file
    // would; the rest is the tool's output.
    std::string all(reinterpret_cast<const char *>(data), size);
    size_t nl = all.find('\n');
    std::string pid = all.substr(0, std::min(nl, size_t{9}));
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) pid = "1";
    std::string out = nl == std::string::npos ? std::string() : all.substr(nl + 1);
    std::FILE *f = fmemopen(out.data(), out.size(), "r");
    if (!f) return 0;
    std::string pids;
    int rc = read_process_tree(f, pid.c_str(), &pids);
    std::fclose(f);
    fuzz::check(rc == VK_OK ? !pids.empty() : rc == VK_ERR_NOT_FOUND && pids.empty(),
                "found with pids, or -4 with none");
    // A pid is read from the start of a line, which the read buffer holds
    // whole up to 1023 bytes: never from the tail of a longer line.
    std::vector<std::string> heads;
    for (size_t b = 0; b <= out.size();) {
        size_t e = std::min(out.find('\n', b), out.size());
        heads.push_back(out.substr(b, std::min(e - b, size_t{1023})));
        b = e + 1;
    }
    // Whatever the output holds, only plain process numbers reach the
    // command line, each after one blank.
    size_t at = 0;
    while (at < pids.size()) {
        fuzz::check(pids[at] == ' ', "each pid after one blank");
        size_t end = pids.find(' ', at + 1);
        std::string id = pids.substr(at + 1, end == std::string::npos ? end : end - at - 1);
        bool digits = !id.empty() && id.find_first_not_of("0123456789") == std::string::npos;
        fuzz::check(digits && id.find_first_not_of('0') != std::string::npos,
                    "a pid is a plain non-zero number");
        fuzz::check(std::any_of(heads.begin(), heads.end(),
                                [&](const std::string &h) { return h.find(id + " ") != h.npos; }),
                    "a pid stands within the first piece of a line");
        at = end == std::string::npos ? pids.size() : end;
    }
    return 0;
}
