// The record line: one session as text, for machine mode and for reading
// the sessions of another server back.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vkadmin.h"
#include "vkcxx.h"

namespace {

// A value as it travels, appended to `line`: "NULL" for an absent field.
// The line has no quoting, so a ";" or a line break inside a value (a
// display file or the authentication manager may hold one) would forge
// fields or records on the reading server; such characters go out as "?".
void wire(std::string &line, const char *key, const char *s) {
    line += key;
    if (!s) {
        line += "NULL";
        return;
    }
    size_t from = line.size();
    line += s;
    for (size_t i = from; i < line.size(); ++i)
        if (line[i] == ';' || line[i] == '\n' || line[i] == '\r') line[i] = '?';
}

// A decimal number as atoi reads it, held to the range of an int so that a
// hostile line cannot push the conversion out of range.
int read_state(const char *text) {
    long v = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
}
}  // namespace

void vk_printUserSessionEnt(FILE *fd, const vk_UserSession_t *u) {
    if (!fd || !u) return;
    // The line is built whole and written at once: machine mode prints one
    // a session, and the group-wide listing thousands.
    std::string line;
    line.reserve(512);
    wire(line, "INSERT_TOKEN=", u->rawtoken);
    wire(line, ";TOKEN=", u->tokenName);
    wire(line, ";uid=", u->unixID);
    line += ";STATE=";
    line += std::to_string(u->state);
    wire(line, ";DISPLAY=", u->dispNo);
    wire(line, ";SERVER=", u->server);
    wire(line, ";SESSION_TYPE=", u->sessionType);
    wire(line, ";encryptUpType=", u->enc_up);
    wire(line, ";encryptDownType=", u->enc_down);
    wire(line, ";authenticateUpType=", u->auth_up);
    wire(line, ";authenticateDownType=", u->auth_down);
    wire(line, ";securityMode=", u->mode);
    wire(line, ";TermPrimary=", u->termPrimary);
    wire(line, ";TermList=", u->termList);
    wire(line, ";MultiheadGroupName=", u->mhGroupName);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), fd);
}

int parse_vkrcmd(char *buf, vk_UserSession_t **res) {
    if (!res) return VK_ERR_INVALID_ARGS;
    *res = nullptr;
    std::unique_ptr<vk_UserSession_t, decltype(&vk_freeUserSessionEnt)> rec(allocate_userSession(),
                                                                            &vk_freeUserSessionEnt);
    if (!rec) return VK_ERR_NO_MEMORY;
    if (!buf) {
        *res = rec.release();
        return VK_OK;
    }
    vk_UserSession_t *u = rec.get();
    struct Field {
        const char *key;
        char *vk_UserSession_t::*member;
    };
    // Tested in this order: "INSERT_TOKEN=" must not be taken for "TOKEN="
    // and is not, because the test is on the start of the field.
    //
    // A record read back must print the same report as the original, so
    // the reader undoes what the writer did: "NULL" in any text field means
    // the field was absent (a value that really is the four letters NULL
    // cannot be told apart and comes back absent too), and the multihead
    // group name is read like the other fields. Otherwise a read-back
    // record would show "NULL" where the original shows "???", and the
    // multihead lines of -l for a record that has no primary terminal.
    static const Field kFields[] = {
        {"TOKEN=", &vk_UserSession_t::tokenName},
        {"INSERT_TOKEN=", &vk_UserSession_t::rawtoken},
        {"DISPLAY=", &vk_UserSession_t::dispNo},
        {"uid=", &vk_UserSession_t::unixID},
        {"SESSION_TYPE=", &vk_UserSession_t::sessionType},
        {"SERVER=", &vk_UserSession_t::server},
        {"STATE=", nullptr},
        {"encryptUpType=", &vk_UserSession_t::enc_up},
        {"encryptDownType=", &vk_UserSession_t::enc_down},
        {"authenticateUpType=", &vk_UserSession_t::auth_up},
        {"authenticateDownType=", &vk_UserSession_t::auth_down},
        {"securityMode=", &vk_UserSession_t::mode},
        {"TermPrimary=", &vk_UserSession_t::termPrimary},
        {"TermList=", &vk_UserSession_t::termList},
        {"MultiheadGroupName=", &vk_UserSession_t::mhGroupName},
    };
    char *save = nullptr;
    for (char *f = strtok_r(buf, ";", &save); f; f = strtok_r(nullptr, ";", &save)) {
        for (const Field &fld : kFields) {
            size_t n = std::strlen(fld.key);
            if (std::strncmp(f, fld.key, n) != 0) continue;
            const char *rest = f + n;
            if (!fld.member) {
                u->state = read_state(rest);
            } else if (std::strcmp(rest, "NULL") == 0) {
                std::free(std::exchange(u->*fld.member, nullptr));
            } else {
                char *copy = ::strdup(rest);
                if (!copy) return VK_ERR_NO_MEMORY;
                std::free(std::exchange(u->*fld.member, copy));
            }
            break;
        }
    }
    *res = rec.release();
    return VK_OK;
}

const char *_vk_getDisplayToken(const vk_UserSession_t *entry) {
    if (!entry) return "???";
    const char *t = entry->tokenName;
    if (t && (std::strncmp(t, "auth.", 5) == 0 || std::strncmp(t, "escape.", 7) == 0 ||
              std::strncmp(t, "mobile.", 7) == 0))
        return t;
    return entry->rawtoken;
}
