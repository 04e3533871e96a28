// Shared inside the library: the enumeration's process-wide state and the
// steps that build an enumeration list.
#ifndef VK_USER_SESSION_INTERNAL_H
#define VK_USER_SESSION_INTERNAL_H

#include <cstdio>
#include <deque>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "session_files.h"
#include "vkadmin.h"

// The list of the open enumeration (payloads vk_UserSession_t, ascending by
// tokenName), the display index that joins session proc files to records
// while a list is built (its records in the order they were inserted, not
// owned), and the scratch list of verify_session.
extern vk_LinkedList_t *cacheList;
extern std::vector<vk_UserSession_t *> displayIndex;
extern vk_LinkedList_t *tmpList;
// When the sessions of the last local enumeration started, as their session
// proc files said while they were read: (record, second), in no order until
// _vk_getSessionStart sorts them. Only the records joined to a file are in it.
extern std::vector<std::pair<const vk_UserSession_t *, int64_t>> sessionStarts;
// Notes that `entry` started at `when`; a null entry forgets them all.
void note_session_start(const vk_UserSession_t *entry, int64_t when);

#define VK_DISPLAYS_DIR "/var/opt/KELWvk/displays/"
#define VK_CTOKENS_DIR "/var/opt/KELWvk/ctokens/"
#define VK_SESSION_PROC_DIR "/tmp/KELWvk/session_proc/"

// A record's texts in one block, which begins with its tokenName, instead
// of one allocation each, when the caller asked for it
// (vk_packUserSessionTexts): a listing holds a record for every session of
// the host at once. vk_freeUserSessionEnt frees either kind. Inside the
// library a text of a record that may be packed is replaced only through
// replace_session_text. False, with the record as it was, when packing is
// off, memory runs out or the record has no tokenName.
bool pack_session_texts(vk_UserSession_t *s);
// pack_session_texts with some texts replaced: each field given takes a
// copy of its text (null: none) in the block, as replace_session_text with
// a copy and then pack_session_texts would leave it, without a copy of
// its own first. Not for tokenName. False, with the record as it was, in
// the same cases as pack_session_texts.
struct SessionText {
    char *vk_UserSession_t::*field;
    const char *text;
};
bool pack_session_texts(vk_UserSession_t *s, std::initializer_list<SessionText> with);
// A new record (state disconnected) with these texts, packed; the others
// absent. Null when packing is off, memory runs out or no tokenName is given.
vk_UserSession_t *new_packed_session(std::initializer_list<SessionText> texts);
// Frees the field's text unless it lies in the record's block, and stores
// `text` (malloc'd, taken over) there. Never for tokenName, which holds the
// block.
void replace_session_text(vk_UserSession_t *s, char *vk_UserSession_t::*field, char *text);

// Payload callback for lists of session records.
void free_session_payload(void *p);

// The display index ascending by display number (in byte order), and among
// the records of one display the one inserted last first.
std::vector<vk_UserSession_t *> display_order();

int insert_cache(vk_UserSession_t *session, vk_LinkedList_t **list);
// insert_cache for each record in turn, in one sort and one merge: the same
// list, the same display index and the same failures, and like insert_cache
// it takes every record over (the vector is left empty), discarding the
// list and all of them on failure.
int insert_cache_all(std::vector<vk_UserSession_t *> &sessions, vk_LinkedList_t **list);
void free_cache(vk_LinkedList_t **list);

// Local discovery (this host).
int local_one(const char *name, const char *host, const char *dir, vk_LinkedList_t **list);
int local_all(const char *token, const char *host, vk_LinkedList_t **list);
int searchbyunix(const char *login, const char *host, vk_LinkedList_t **list);
int set_unix(vk_LinkedList_t **list);
// set_unix's join: for every record of `index` (as display_order gives it)
// whose display has a session proc file in `procs` (in the order
// the files were read), the Unix user and the suspended bit from the
// process table. Of several files of one display, the one read last goes to
// the index's first record of that display, the one before to the next, and
// so on. The users joined are taken from `procs`.
void join_session_procs(const std::vector<vk_UserSession_t *> &index, std::deque<LiveProc> &procs);
int verify_session(const vk_UserSession_t *session);

// While a ProcessTableAhead lives, the process table's ps runs from its
// start, alongside whatever the caller does meanwhile; the first
// init_processState reads that run instead of starting one, with the same
// results (what ps writes to its standard error reaches ours then). A run
// that nobody read is stopped at the end. One at a time; not for
// concurrent use.
class ProcessTableAhead {
  public:
    ProcessTableAhead();
    ~ProcessTableAhead();
    ProcessTableAhead(const ProcessTableAhead &) = delete;
    ProcessTableAhead &operator=(const ProcessTableAhead &) = delete;

  private:
    bool owner_ = false;
};

// The process table cache built from `ps`'s output as init_processState
// reads it from its pipe (same results, but the exit status is not known
// here). Used by init_processState, and by tests and benchmarks that feed
// it a table of their own.
int load_processState(std::FILE *ps);
// The state bits (VK_PROC_STOPPED) of a process in the table that
// init_processState or load_processState built; 0 for a process it does not
// hold, or without a table.
int cached_process_state(const char *pid);

// Completion from the authentication manager, which is asked on this host
// (kStatusHost) once the host answers its probe.
constexpr const char *kStatusHost = "localhost";
int set_state(vk_LinkedList_t **cl);

// While a PingAhead lives, the probe of `host` (ping_host) runs from its
// start, alongside whatever the caller does meanwhile, and the first
// ping_host of that host takes its verdict instead of starting one of its
// own: the same answer, without waiting for the tool once the answer is
// needed. A probe that nobody asked for is stopped at the end. One at a
// time; not for concurrent use.
class PingAhead {
  public:
    explicit PingAhead(const char *host);
    ~PingAhead();
    PingAhead(const PingAhead &) = delete;
    PingAhead &operator=(const PingAhead &) = delete;

  private:
    bool owner_ = false;
};
// The verdict of the probe of `host` that a PingAhead started, when it has
// come (true), without waiting for it; ping_host answers the same.
bool ping_verdict_now(const char *host, int *verdict);

// While a StatusAhead lives, the status request to this host's manager may
// go out ahead of its answer: send_status_ahead(), called as the sessions
// are read, sends it as soon as the probe of PingAhead has said that the
// host answers, and the first status request to kStatusHost then reads the
// answer from that connection instead of connecting anew. The manager
// prepares its answer (tens of milliseconds for thousands of terminals)
// while the session files are read. Everything that would be reported on
// the way is left to the request itself: a step that fails ahead leaves it
// to be taken again, and reported, at its time. A connection that nobody
// read is closed at the end. One at a time; not for concurrent use.
class StatusAhead {
  public:
    StatusAhead();
    ~StatusAhead();
    StatusAhead(const StatusAhead &) = delete;
    StatusAhead &operator=(const StatusAhead &) = delete;

  private:
    bool owner_ = false;
};
void send_status_ahead();

// Session control on this host.
int manage_session(int oper, const vk_UserSession_t *session);
int exec_session(int oper, const char *pid);
int terminate_session(const vk_UserSession_t *session, const char *pid);

// Search and session control on another server of the group.
int remote_search(const char *tokenID, const char *server, vk_LinkedList_t **list);
int remote_operation(int oper, const vk_UserSession_t *session);
// Their command lines, from malloc (null when memory runs out or nothing
// can be composed): the search of `server` with an optional filter, and the
// operation given by its option text ("-k -x" ...) on the session's server.
char *remote_search_command(const char *tokenID, const char *server);
char *remote_operation_command(const char *options, const vk_UserSession_t *session);

#endif
