// Readers of this host's session files.
#ifndef VK_SESSION_FILES_H
#define VK_SESSION_FILES_H

#include "vkadmin.h"

// Paths of session files are built in 100 bytes.
constexpr size_t kPathBuf = 100;

// 0 with a new record and a copy of its token set; -19 when the file is
// absent or incomplete, -5, -16 or -10 otherwise.
int parse_displayfile(const char *path, vk_UserSession_t **rec, char **tokenset);
int parse_sessionfile(const char *path, vk_SessionProc_t **sp);
// 1 when the display's session proc file is live, 0 when not, -19 when a file is missing.
int valid_procfile(const char *name);
// 1 idle, 0 not, -1 unknown.
int is_idling_session(const char *name);

// While an IdleMemo lives (the building of one enumeration), is_idling_session
// answers a display it has already examined from memory: set_state and
// set_unix each ask for every display, and every answer is a look-up in the
// file system. Failures are not remembered. Not for concurrent use.
class IdleMemo {
  public:
    IdleMemo();
    ~IdleMemo();
    IdleMemo(const IdleMemo &) = delete;
    IdleMemo &operator=(const IdleMemo &) = delete;

  private:
    bool owner_;
};

#endif
