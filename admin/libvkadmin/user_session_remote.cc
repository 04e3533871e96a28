// Sessions of another server of the failover group.
//
// Nothing of the other server is read here directly: vksession runs there in
// machine mode (-x), started through the remote-command program, and what it
// prints comes back through a pipe. A search reads its record lines into the
// enumeration list; an operation reads the first line of its answer only.
//
// Decisions that the far end's contract leaves to this side:
//
// - Quoting. The server name, the filter and the token, login and display of
//   a record come from callers, from the far host's files or from the
//   network, and they are placed on a command line that /bin/sh runs. Each
//   is written as one shell word (vk::shell_word): unchanged when it holds
//   only characters that the shell takes literally, else in single quotes.
//   So the remote-command program receives every value as exactly one
//   argument and no value can end the command or start another. The
//   command buffers are sized from the quoted lengths.
// - Record lines are read whole, whatever their length (a multihead group
//   with many terminals easily makes lines longer than 1 KiB), so that a line
//   is never cut into two records. A line is bounded at kMaxRecordLine bytes
//   against a far end that never sends a newline: a longer one is read to
//   its end and dropped, the other records are read as usual, and the search
//   answers -1, so the list can hold records while the result is -1, as after
//   a non-zero exit status.
// - A line after the first that yields no token name (a message that the far
//   side printed after its records, an empty line) is skipped and reported
//   in the system log. The list needs the token name as its key, and one
//   stray line must not throw away the records already read; if the far side
//   failed, its exit status still makes the search fail.
// - The whole answer is bounded at VK_MAX_REMOTE_ANSWER bytes while it is
//   read: a far side that sends more gets no more of it read, its records
//   are dropped, and the search fails (with a report in the system log),
//   so that no far side can make this host's process hold more than the
//   bound's worth of records.
// - Only the newline that ends a line is removed; a last line without one
//   keeps all its characters.
// - A record line without a server name gets the name of the server that
//   was asked: a record that names no server would otherwise count as a
//   session of this host, and an operation on it would act here.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "pipe_readers.h"
#include "shell_words.h"
#include "user_session_internal.h"
#include "vkcxx.h"

namespace {

constexpr const char *kRemoteProgram = "/opt/KELWvk/lib/vkrcmd";
constexpr const char *kVksession = "/opt/KELWvk/sbin/vksession";
constexpr const char *kRecordPrefix = "INSERT_TOKEN=";
constexpr const char *kErrorPrefix = "**ERROR: ";
constexpr size_t kErrorPrefixLen = 9;
constexpr size_t kReplyBuf = 1024;
// vksession writes lines of a few KiB at most (the joined multihead lists
// are bounded); 64 KiB leaves ample room and still bounds the memory that a
// far end can make us hold.
constexpr size_t kMaxRecordLine = size_t{64} * 1024;

struct SessionFree {
    void operator()(vk_UserSession_t *s) const noexcept { vk_freeUserSessionEnt(s); }
};
using Session = std::unique_ptr<vk_UserSession_t, SessionFree>;

// The number after the error prefix, read as atoi reads it but held to the
// range of an int: text that is not a number gives 0.
int error_code(const char *text) {
    long v = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
}

bool starts_with(const std::string &line, const char *prefix) {
    return line.compare(0, std::strlen(prefix), prefix) == 0;
}

// Formats `fmt` into a buffer of `size` bytes from malloc; null when memory
// runs out. The sizes are computed with room to spare, so a cut line would
// be a fault of this file: it is refused rather than run.
template <typename... Args>
char *format_command(size_t size, const char *fmt, Args... args) {
    vk::CStr buf(static_cast<char *>(std::malloc(size)));
    if (!buf) return nullptr;
    int n = std::snprintf(buf.get(), size, fmt, args...);
    if (n < 0 || static_cast<size_t>(n) >= size) return nullptr;
    return buf.release();
}

enum class LineRead { Line, End, TooLong, TooLarge };

// Reads one line of any length up to kMaxRecordLine into `line`, without its
// newline. Bytes are taken one by one from the stream's buffer, so a NUL
// byte inside a line can neither end it early nor join it to the next. Of
// a longer line the first kMaxRecordLine bytes are kept and the rest is
// read to its end and dropped, so that the writer is not left blocked or
// broken off in the middle of a line. `left` is what the whole answer may
// still take: once it is spent, reading stops (TooLarge).
LineRead read_line(std::FILE *f, std::string &line, size_t &left) {
    line.clear();
    bool too_long = false;
    int c;
    // The stream is this call's own: no other thread reads it.
    while ((c = getc_unlocked(f)) != EOF) {
        if (left == 0) return LineRead::TooLarge;
        --left;
        if (c == '\n') return too_long ? LineRead::TooLong : LineRead::Line;
        if (line.size() < kMaxRecordLine)
            line.push_back(static_cast<char>(c));
        else
            too_long = true;
    }
    if (too_long) return LineRead::TooLong;
    return line.empty() ? LineRead::End : LineRead::Line;
}

const char *operation_options(int oper) {
    switch (oper) {
        case VK_OPER_RESUME:
            return "-r -x";
        case VK_OPER_SUSPEND:
            return "-s -x";
        case VK_OPER_TERMINATE:
            return "-k -x";
        default:
            return nullptr;
    }
}

}  // namespace

char *remote_search_command(const char *tokenID, const char *server) {
    if (!server) return nullptr;
    try {
        std::string host = vk::shell_word(server);
        std::string filter = tokenID ? vk::shell_word(tokenID) : std::string();
        size_t size = host.size() + 75 + (tokenID ? filter.size() + 3 : 0);
        return format_command(size, "%s %s %s -p -x %s%s %s", kRemoteProgram, host.c_str(),
                              kVksession, tokenID ? "-t " : "", filter.c_str(), "2>&1");
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

char *remote_operation_command(const char *options, const vk_UserSession_t *session) {
    if (!options || !session || !session->server) return nullptr;
    const char *token = session->tokenName ? session->tokenName : session->rawtoken;
    try {
        std::string host = vk::shell_word(session->server);
        size_t size = host.size() + 80;
        // An absent selector leaves both its option and its value empty, so
        // the line keeps the blanks of the format.
        auto selector = [&size](const char *value) {
            if (!value) return std::string();
            std::string w = vk::shell_word(value);
            size += w.size() + 3;
            return w;
        };
        std::string t = selector(token), u = selector(session->unixID),
                    d = selector(session->dispNo);
        return format_command(size, "%s %s %s %s %s%s %s%s %s%s %s", kRemoteProgram, host.c_str(),
                              kVksession, options, token ? "-t " : "", t.c_str(),
                              session->unixID ? "-u " : "", u.c_str(), session->dispNo ? "-d " : "",
                              d.c_str(), "2>&1");
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

int read_search_reply(std::FILE *reply, const char *server, vk_LinkedList_t **cl, bool *settled) {
    if (settled) *settled = false;
    if (!reply || !server || !cl) return VK_ERR_INVALID_ARGS;
    int result = VK_ERR_NOT_FOUND;
    // The records read, linked into the list in one pass at the end (as
    // insert_cache would link them one by one); released unless linked.
    std::vector<vk_UserSession_t *> found;
    struct Release {
        std::vector<vk_UserSession_t *> &records;
        ~Release() {
            for (vk_UserSession_t *s : records) vk_freeUserSessionEnt(s);
        }
    } release{found};
    try {
        std::string line;
        bool first = true, overlong = false;
        size_t left = VK_MAX_REMOTE_ANSWER;
        for (;;) {
            LineRead got = read_line(reply, line, left);
            if (got == LineRead::End) break;
            if (got == LineRead::TooLarge) {
                // Whatever the far side says after this, its answer as a
                // whole is not taken.
                if (settled) *settled = true;
                dprintf("remote_search(): answer longer than %zu bytes", VK_MAX_REMOTE_ANSWER);
                free_cache(cl);
                return VK_ERR_INTERNAL;
            }
            if (first && !starts_with(line, kRecordPrefix)) {
                // The first line decides alone: the far side's own verdict,
                // or an answer that is no answer of vksession.
                if (settled) *settled = true;
                if (got != LineRead::TooLong && starts_with(line, kErrorPrefix))
                    return error_code(line.c_str() + kErrorPrefixLen);
                dprintf("remote_search(): remote access failed (%s)", line.c_str());
                return VK_ERR_INTERNAL;
            }
            first = false;
            if (got == LineRead::TooLong) {
                dprintf("remote_search(): record line longer than %zu bytes", kMaxRecordLine);
                overlong = true;
                continue;
            }
            // The reader cuts its text up; the line itself is kept for the log.
            std::string fields = line;
            vk_UserSession_t *parsed = nullptr;
            int rc = parse_vkrcmd(fields.data(), &parsed);
            Session rec(parsed);
            if (rc != VK_OK) {
                free_cache(cl);
                result = rc;
                break;
            }
            if (!rec->tokenName) {
                dprintf("remote_search(): line without a token name skipped (%s)", line.c_str());
                continue;
            }
            if (!rec->server && !(rec->server = ::strdup(server))) {
                free_cache(cl);
                result = VK_ERR_NO_MEMORY;
                break;
            }
            if (!rec->dispNo) {
                // No display to index it by: the search ends here as linking
                // it would have ended it, with nothing of the reply kept.
                free_cache(cl);
                result = VK_ERR_INVALID_ARGS;
                break;
            }
            found.push_back(rec.get());
            rec.release();
            result = VK_OK;
        }
        // insert_cache_all takes the records in every case; on failure it
        // has discarded the list with them.
        if (result == VK_OK) result = insert_cache_all(found, cl);
        if (overlong && (result == VK_OK || result == VK_ERR_NOT_FOUND)) result = VK_ERR_INTERNAL;
    } catch (const std::bad_alloc &) {
        free_cache(cl);
        result = VK_ERR_NO_MEMORY;
    }
    return result;
}

int remote_search(const char *tokenID, const char *server, vk_LinkedList_t **cl) {
    if (!server || !cl) return VK_ERR_INVALID_ARGS;
    vk::CStr command(remote_search_command(tokenID, server));
    if (!command) return VK_ERR_NO_MEMORY;
    vk::Pipe pipe(command.get(), "r");
    if (!pipe) return VK_ERR_UNREACHABLE;
    command.reset();

    bool settled = false;
    int result = read_search_reply(pipe.get(), server, cl, &settled);
    if (settled) return result;
    int code = vk::failed_exit_code(pipe.close());
    if (code) {
        dprintf("vk_setUserSessionEnt(): vkrcmd failed (%d)", code);
        if (result == VK_OK) result = VK_ERR_INTERNAL;
    }
    return result;
}

int remote_operation(int oper, const vk_UserSession_t *session) {
    if (!session) return VK_ERR_INVALID_ARGS;
    const char *options = operation_options(oper);
    // A record that names no server cannot be sent anywhere; the local path
    // takes such records, so this only guards direct calls.
    if (!options || !session->server) return VK_ERR_INVALID_ARGS;
    vk::CStr command(remote_operation_command(options, session));
    if (!command) return VK_ERR_NO_MEMORY;
    vk::Pipe pipe(command.get(), "r");
    if (!pipe) return VK_ERR_UNREACHABLE;
    command.reset();

    // Only the first line counts: the far vksession reports a failure as its
    // first line, and anything else there (a warning, a message of the
    // remote-command program or of a shell) means that the answer cannot be
    // trusted to say that the operation was done.
    int result = VK_OK;
    char line[kReplyBuf];
    if (std::fgets(line, sizeof line, pipe.get())) {
        size_t n = std::strlen(line);
        if (n && line[n - 1] == '\n') line[n - 1] = '\0';
        if (std::strncmp(line, kErrorPrefix, kErrorPrefixLen) == 0) {
            result = error_code(line + kErrorPrefixLen);
        } else {
            dprintf("remote_operation(): remote access failed (%s)", line);
            result = VK_ERR_INTERNAL;
        }
    }

    int code = vk::failed_exit_code(pipe.close());
    if (code) {
        dprintf("vk_setUserSessionEnt(): vkrcmd failed (%d)", code);
        if (result == VK_OK) result = VK_ERR_INTERNAL;
    }
    return result;
}
