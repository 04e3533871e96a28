// The vksession command: process-wide settings of one run and the
// operations of its front end.
#ifndef VK_CLI_H
#define VK_CLI_H

#include "admin.h"
#include "vkadmin.h"

// Action codes; also the operation of find_session and the mode of printEnt.
enum {
    VK_ACT_HELP = 1,
    VK_ACT_PRINT = 2,
    VK_ACT_KILL = 3,
    VK_ACT_RESUME = 4,
    VK_ACT_SUSPEND = 5,
    VK_ACT_LIST = 6,
};

extern const char *prog;  // name the program was started under
extern VKAdmin vka;       // directory connection, when open
extern int applyall;      // -a
extern int xmode;         // -x: machine mode
extern char **ltarray;    // logical tokens of the -n name

[[noreturn]] void usage(const char *msg);
const char *error_string(int code);

int print_session(const char *unixID, const char *tokenID, const char *PXname, const char *dispNO,
                  int mode);
int kill_session(const char *unixID, const char *tokenID, const char *PXname, const char *dispNO);
int resume_session(const char *unixID, const char *tokenID, const char *PXname, const char *dispNO);
int suspend_session(const char *unixID, const char *tokenID, const char *PXname,
                    const char *dispNO);
int find_session(int oper, const char *unixID, const char *tokenID, const char *PXname,
                 const char *dispNO);
void send_message(const vk_UserSession_t *session);

void printEnt(const vk_UserSession_t *session, int mode);

// Opens the directory connection quietly: the front end reports a missing
// directory itself.
void open_directory_quietly();

#endif
