// The session interface of the administration library: the session record,
// the enumeration of a host's sessions, and the session operations.
#ifndef VK_VKADMIN_H
#define VK_VKADMIN_H

#include <stdint.h>
#include <stdio.h>

#include "vkerrno.h"
#include "utils.h"

// Bits of vk_UserSession_t.state.
enum {
    VK_SESSION_DISCONNECTED = 1,
    VK_SESSION_IDLE = 2,
    VK_SESSION_SUSPENDED = 4,
};

// One session. Every text is malloc'd, owned by the record, null until set.
typedef struct vk_UserSession {
    char *tokenName;    // logical token name; enumeration order key
    char *rawtoken;     // raw token id that was inserted
    char *unixID;       // login name (or numeric uid); null for an idle session
    int state;          // VK_SESSION_* bits
    char *dispNo;       // X display number, no colon
    char *server;       // host that holds the session
    char *sessionType;  // session type
    char *enc_up;       // upstream encryption type ("none" when none)
    char *enc_down;     // downstream encryption type
    char *auth_up;      // upstream authentication type
    char *auth_down;    // downstream authentication type
    char *mode;         // security mode
    char *termPrimary;  // primary terminal of a multihead group
    char *termList;     // attached terminal ids, comma-separated
    char *mhGroupName;  // multihead group name
} vk_UserSession_t;

// All fields absent, state VK_SESSION_DISCONNECTED; null when memory is exhausted.
vk_UserSession_t *allocate_userSession(void);
void vk_freeUserSessionEnt(vk_UserSession_t *session);
// With a non-zero `on`, the records of the enumerations that follow keep
// all their texts in one block (that begins with tokenName) instead of an
// allocation each: for a caller that holds thousands of records at once
// and only reads them. Such a record is freed with vk_freeUserSessionEnt
// like any other, but its texts must not be freed or replaced one by one.
void vk_packUserSessionTexts(int on);

// Enumeration: set (open with a filter), get until non-zero, end.
// `tokenID`: null, "unix.<login|uid>", "display.<n>" or a token.
// `server`: null or this host for a local search, another host for a remote one.
int vk_setUserSessionEnt(const char *tokenID, const char *server);
int vk_getUserSessionEnt(vk_UserSession_t **session);
void vk_endUserSessionEnt(void);

// The most bytes of another server's answer to a search that are read:
// 10,000 sessions of a few hundred bytes each, with room to spare. The
// answer is bounded while it is read: past this, nothing more is read or
// kept, and the search fails.
#define VK_MAX_REMOTE_ANSWER ((size_t)16 << 20)

// Operation codes of session control.
enum { VK_OPER_RESUME = 1, VK_OPER_SUSPEND = 2, VK_OPER_TERMINATE = 3 };

int vk_suspendUserSession(vk_UserSession_t *session);
int vk_resumeUserSession(vk_UserSession_t *session);
int vk_terminateUserSession(vk_UserSession_t *session);

// The token id to show for a session (not a copy).
const char *_vk_getDisplayToken(const vk_UserSession_t *entry);
// When a session of the last local enumeration started: the modification
// second of its session proc file as the enumeration read it. VK_OK, or
// VK_ERR_NOT_FOUND for a record that was joined to no such file (or that
// is of another enumeration). Only for records not yet freed.
int _vk_getSessionStart(const vk_UserSession_t *entry, int64_t *when);

// The record line of machine mode, and its reader.
void vk_printUserSessionEnt(FILE *fd, const vk_UserSession_t *uSess);
int parse_vkrcmd(char *buf, vk_UserSession_t **res);

// The contents of one session proc file.
typedef struct vk_SessionProc {
    char *xid;
    char *uid;
    char *pid;
    char *program;
    char *server_pid;
    char *server_prog;
} vk_SessionProc_t;

vk_SessionProc_t *allocate_sessionProc(void);
void free_sessionProc(vk_SessionProc_t *sp);

// Process table.
enum { VK_PROC_STOPPED = 4 };

typedef struct vk_procTable {
    char *uid;   // owner column of ps
    char *comm;  // command column, first word
    char *pid;   // process id column
    int state;   // VK_PROC_STOPPED or 0
} vk_procTable_t;

vk_procTable_t *allocate_ps_entry(void);
void free_ps_entry(vk_procTable_t *entry);
int parse_ps_entry(char *line, vk_procTable_t **entry);
int init_processState(void);
int get_processState(const char *pid, char **uid, int *s, char **comm, char **pidout);
void reset_processState(void);

// One terminal as the authentication manager reports it. Every text is a
// malloc'd copy owned by the record, null when its key did not come.
typedef struct _ValueNode {
    char *terminal_CID;
    char *model;
    char *firmware;
    char *boot;
    char *connected;
    char *MHgroup_name;
    char *MHdata;
    unsigned int MHterm_index;  // all bits set when not given
    unsigned int flag;          // VK_KV_NOT_PRIMARY, VK_KV_X_TOKEN
    char *create_time;
    char *connect_time;
    char *terminal_IPA;
    char *terminal_port;
    char *local_name;
    char *global_name;
    char *module_name;
    char *session_mgr_id;
    char *service_init_cmd;
    char *token_name;
    char *client_created;
    char *controller;
    char *lifetime;
    char *terminal_packets;
    char *terminal_lost_packets;
    char *terminal_conn_time;
    char *terminal_idle_time;
    char *terminal_bytes;
    char *terminal_latency;
    char *enc_up_type;
    char *enc_down_type;
    char *auth_up_type;
    char *auth_down_type;
    char *security_mode;
    struct _ValueNode *next;
} vk_KeyValuesNode_t;

enum { VK_KV_NOT_PRIMARY = 1, VK_KV_X_TOKEN = 2 };

// Sort orders of the status list.
enum { VK_SORT_BY_TERMINAL = 1, VK_SORT_BY_TOKEN = 2, VK_SORT_BY_X_TOKEN = 3 };

// Asks the authentication manager of `server_name` (null: 127.0.0.1) for the
// status of its terminals; the records are added to *key_values.
int vk_getAuthMgrRecords(const char *server_name, const int sort_order, const char *desktop_id,
                         char **keys, vk_KeyValuesNode_t **key_values);
int getAuthMgrRecords(const char *server_name, const int sort_order, const char *desktop_id,
                      char **keys, vk_KeyValuesNode_t **key_values, const char *authcommand);
// A connected socket to `hostname` at `portnum` (network byte order), or -1.
int open_socket(const char *hostname, short portnum, int is_udp, int maximize);

int parse_record(vk_KeyValuesNode_t **list, const char *entry_buf, int sort,
                 const char *keys_string, const char *terminal_id_substring);
void add_to_KeyValuesNode_list(vk_KeyValuesNode_t **list_head, vk_KeyValuesNode_t *list_node,
                               int sort);
void free_KeyValuesNode(vk_KeyValuesNode_t *list_node);
void vk_free_KeyValuesNode_list(vk_KeyValuesNode_t *list_head);
// The last two dot-separated parts of a token id (a position inside it).
const char *get_short_token_id(const char *full_token_id);

// Whether `host` answers: 0 when it does (or no host was named).
int ping_host(const char *host);
int execping(const char *host);

#endif
