// Directory datastore access: the connection handle and the directory user.
#ifndef VK_ADMIN_H
#define VK_ADMIN_H

#include "vkadmin.h"
#include "vkerrno.h"
#include "utils.h"

#define VK_ADMIN_CONFIG_FILE "/etc/opt/KELWvk/vkadmin.conf"
#define VK_ADMIN_PASSWD_FILE "/etc/opt/KELWvk/vkadmin.pw"

struct VKAdminStruct;
typedef struct VKAdminStruct *VKAdmin;

// A registered directory user.
typedef struct VKUser {
    char *id;
    char *name;
    char *other_info;
    int create_time;
    int status;
    char *last_desktop;
    int last_time;
    char *misc1;
    char *misc2;
    char **logical_token_ids;  // NULL-terminated, or null when the entry has none
} VKUser;

VKUser *allocate_user(void);
void free_user(VKUser *user);

// Opens the directory connection; null and *return_code -1 on any failure.
VKAdmin open_connection(int mode, const char *spec_user, const char *passwd,
                        const char *config_file, int *return_code);
int close_connection(VKAdmin vka);

int vk_getLtokenByUser(VKAdmin vka, const char *username, char ***ltokens);
VKUser *raw_token_id_to_user(VKAdmin vka, const char *raw_token_id);
VKUser *logical_token_id_to_user(VKAdmin vka, const char *logical_token_id);

// The registered user of a session's token, for the report; null when none.
VKUser *_vk_getDisplayUser(VKAdmin vka, const vk_UserSession_t *entry);

#endif
