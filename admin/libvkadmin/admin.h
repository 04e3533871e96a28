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

// Bind mechanisms (VKAdminStruct.authmech, "admin.server.authmech").
enum { VK_AUTH_SIMPLE = 0, VK_AUTH_CRAM_MD5 = 1 };

// Connection modes: 1 anonymous and read-only; 2 the configured bind name
// with the given password; 3 the configured bind name with the password of
// VK_ADMIN_PASSWD_FILE; 4 the given bind name and password.
enum { VK_MODE_ANONYMOUS = 1, VK_MODE_PASSWORD = 2, VK_MODE_PASSWORD_FILE = 3, VK_MODE_USER = 4 };

// Seconds to wait for the directory server ("admin.server.timeout"; 0 = no
// limit): for the TCP connection and for the answer to each request.
extern int DStimeout;

// The administration configuration.
VKAdmin allocate_vka(void);
int read_config_file(VKAdmin vka, const char *filename);
void set_vka_val(VKAdmin vka, const char *key, const char *value);
int DSauth(const char *mech);
int check_vka(VKAdmin vka);
void free_vka(VKAdmin vka);
// The password of a password file (its first line, stored scrambled).
char *read_passwd_file(const char *filename, int *errorcode);
// ROT13 copy; its own inverse.
char *scramble_text(const char *text);

// Opens the directory connection; null and *return_code -1 on any failure.
VKAdmin open_connection(int mode, const char *spec_user, const char *passwd,
                        const char *config_file, int *return_code);
// The same with the failure's own code; `srv`, when given, replaces the
// configured server.
int vk_openDsConnection(int mode, const char *spec_user, const char *passwd,
                        const char *config_file, const char *srv, VKAdmin *vkap);
int close_connection(VKAdmin vka);
void vk_closeDsConnection(VKAdmin vka);

int vk_getLtokenByUser(VKAdmin vka, const char *username, char ***ltokens);
VKUser *raw_token_id_to_user(VKAdmin vka, const char *raw_token_id);
VKUser *logical_token_id_to_user(VKAdmin vka, const char *logical_token_id);

// The registered user of a session's token, for the report; null when none.
VKUser *_vk_getDisplayUser(VKAdmin vka, const vk_UserSession_t *entry);

#endif
