// Readers of this host's session files.
#ifndef VK_SESSION_FILES_H
#define VK_SESSION_FILES_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "vkadmin.h"
#include "vkcxx.h"

// Paths of session files are built in 100 bytes.
constexpr size_t kPathBuf = 100;

// DIR + NAME + SUFFIX into `buf`, as snprintf would put them there; false
// when they do not fit. (A path is built for every session file, several
// times in a listing.)
template <size_t N>
bool join_path(char (&buf)[N], std::string_view dir, const char *name,
               std::string_view suffix = {}) {
    size_t n = std::strlen(name);
    if (dir.size() + n + suffix.size() >= N) return false;
    char *at = buf;
    at = std::copy(dir.begin(), dir.end(), at);
    at = std::copy(name, name + n, at);
    at = std::copy(suffix.begin(), suffix.end(), at);
    *at = '\0';
    return true;
}

// 0 with a new record and a copy of its token set; -19 when the file is
// absent or incomplete, -5, -16 or -10 otherwise.
int parse_displayfile(const char *path, vk_UserSession_t **rec, char **tokenset);
// The values of a display file that parse_displayfile takes, without a
// record: the same answers. The texts are replaced, so that one
// DisplayValues read again and again allocates nothing more.
struct DisplayValues {
    std::string token, raw, display, token_set, type;
};
int read_display_values(const char *path, DisplayValues *v);
int parse_sessionfile(const char *path, vk_SessionProc_t **sp);
// 1 when the display's session proc file is live, 0 when not, -19 when a file is missing.
int valid_procfile(const char *name);
// valid_procfile(name) == 1, then parse_sessionfile of that session proc
// file: the same result, with the file examined once, as it is read.
// -19 when it is not a live session's file.
int read_live_sessionfile(const char *name, vk_SessionProc_t **sp);
// What an enumeration keeps of a live session proc file: the display it
// names, its user (null when it names none) and its process id; the rest of
// the file is only checked to be there. Kept this small because a listing
// holds one for every session of the host at once.
struct LiveProc {
    std::string xid;
    vk::CStr uid;
    // -1 when the file's text is not a process number as ps writes one
    // (digits, no leading zero, at most nine): no process of the table
    // has it.
    int pid = -1;
    // The file's modification second as it was examined while read (when
    // its session started); -1 when it was read without that examination.
    int64_t started = -1;
};
// read_live_sessionfile without the record: the same answers and the same
// examination of the file, the fields in `out`.
int read_live_proc(const char *name, LiveProc *out);
// 1 idle, 0 not, -1 unknown.
int is_idling_session(const char *name);

// While a SessionFileMemo lives (the building of one enumeration), the
// session files are examined once each: set_state and set_unix each ask
// whether every display is idle, and set_unix whether each display file is
// newer than its session proc file, though the display file was examined
// when it was read; the answers are remembered (failures are not). The
// session directories are held open too, so that each file is reached
// from its directory rather than by walking its whole path. A listing of
// thousands of sessions makes tens of thousands of such look-ups. Not for
// concurrent use.
class SessionFileMemo {
  public:
    SessionFileMemo();
    ~SessionFileMemo();
    SessionFileMemo(const SessionFileMemo &) = delete;
    SessionFileMemo &operator=(const SessionFileMemo &) = delete;

  private:
    bool owner_;
};

#endif
