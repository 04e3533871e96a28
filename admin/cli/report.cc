// The session table, the security configuration listing and machine mode.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "cli.h"

namespace {

bool first = true;  // the table header is printed once per run

struct UserFree {
    void operator()(VKUser *u) const noexcept { free_user(u); }
};
using User = std::unique_ptr<VKUser, UserFree>;

[[noreturn]] void missing_security_field(User &user) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: Internal error. NULL security key/value pair.\n", prog);
    user.reset();
    std::exit(1);
}

// "none" anywhere in the value means no encryption or authentication.
bool secured(const char *a, const char *b) {
    return !std::strstr(a, "none") || !std::strstr(b, "none");
}

const char *or_unknown(const char *s) {
    return s ? s : "???";
}

// Appends `text` left-aligned in a field of `width` characters, as "%-*s"
// prints it: a longer text is not cut.
void put_field(std::string &row, const char *text, size_t width) {
    size_t n = std::strlen(text);
    row.append(text, n);
    if (n < width) row.append(width - n, ' ');
}

void print_row(const vk_UserSession_t *s, const VKUser *user, User &owned) {
    if (first) {
        std::printf("\n%-30s %-20s %-10s %-4s %-5s\n%-30s %-20s %-10s %-4s %-5s\n", "Token ID",
                    "Registered Name", "Unix ID", "Disp", "State", "------------------------------",
                    "--------------------", "----------", "----", "-----");
        first = false;
    }
    char letters[8];
    size_t n = 0;
    if (s->state & VK_SESSION_DISCONNECTED) letters[n++] = 'D';
    if (s->state & VK_SESSION_IDLE) letters[n++] = 'I';
    if (s->state & VK_SESSION_SUSPENDED) letters[n++] = 'S';
    if (!(s->state & VK_SESSION_DISCONNECTED)) {
        if (!s->enc_up || !s->enc_down) missing_security_field(owned);
        if (secured(s->enc_up, s->enc_down)) letters[n++] = 'E';
        if (!s->auth_up || !s->auth_down) missing_security_field(owned);
        if (secured(s->auth_up, s->auth_down)) letters[n++] = 'A';
    }
    letters[n] = '\0';
    // A listing prints thousands of rows: each is put together here and
    // written at once rather than formatted field by field by printf.
    static std::string row;
    row.clear();
    put_field(row, or_unknown(_vk_getDisplayToken(s)), 30);
    row += ' ';
    put_field(row, user && user->name ? user->name : "???", 20);
    row += ' ';
    put_field(row, or_unknown(s->unixID), 10);
    row += ' ';
    put_field(row, s->dispNo ? s->dispNo : "", 4);
    row += ' ';
    put_field(row, letters, 5);
    row += '\n';
    std::fwrite(row.data(), 1, row.size(), stdout);
}

void print_configuration(const vk_UserSession_t *s, User &owned) {
    if (s->state & VK_SESSION_DISCONNECTED) return;
    if (!s->enc_up || !s->enc_down || !s->auth_up || !s->auth_down || !s->mode)
        missing_security_field(owned);
    std::printf(
        "\nConfiguration for token ID '%s':\nencryptUpType=%s\nencryptDownType=%s\n"
        "authenticateUpType=%s\nauthenticateDownType=%s\nsecurityMode=%s\n",
        or_unknown(_vk_getDisplayToken(s)), s->enc_up, s->enc_down, s->auth_up, s->auth_down,
        s->mode);
    if (s->termPrimary && *s->termPrimary)
        std::printf("MultiheadGroupName=%s\nprimaryCID=%s\n", or_unknown(s->mhGroupName),
                    s->termPrimary);
    std::printf("terminalCIDs=%s\n\n", or_unknown(s->termList));
}

}  // namespace

void printEnt(const vk_UserSession_t *session, int mode) {
    if (!session) return;
    User user(vka ? _vk_getDisplayUser(vka, session) : nullptr);
    if (xmode) {
        vk_printUserSessionEnt(stdout, session);
    } else if (mode == VK_ACT_PRINT) {
        print_row(session, user.get(), user);
    } else if (mode == VK_ACT_LIST) {
        print_configuration(session, user);
    }
}
