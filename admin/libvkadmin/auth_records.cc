// The status records of the authentication manager: one record text (the
// lines between "begin" and "end") becomes one vk_KeyValuesNode_t in a
// sorted list.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <strings.h>

#include "vkadmin.h"
#include "vkcxx.h"

namespace {

using Field = char *vk_KeyValuesNode_t::*;

// Keys that simply fill a text field; the others have rules of their own.
struct PlainKey {
    std::string_view key;
    Field field;
};
constexpr PlainKey kPlainKeys[] = {
    {"terminalModel", &vk_KeyValuesNode_t::model},
    {"firmware", &vk_KeyValuesNode_t::firmware},
    {"boot", &vk_KeyValuesNode_t::boot},
    {"connected", &vk_KeyValuesNode_t::connected},
    {"MultiheadGroupName", &vk_KeyValuesNode_t::MHgroup_name},
    {"createTime", &vk_KeyValuesNode_t::create_time},
    {"connectTime", &vk_KeyValuesNode_t::connect_time},
    {"terminalIPA", &vk_KeyValuesNode_t::terminal_IPA},
    {"terminalPort", &vk_KeyValuesNode_t::terminal_port},
    {"GlobalName", &vk_KeyValuesNode_t::global_name},
    {"ModuleName", &vk_KeyValuesNode_t::module_name},
    {"SessionManagerId", &vk_KeyValuesNode_t::session_mgr_id},
    {"ServiceInitCommand", &vk_KeyValuesNode_t::service_init_cmd},
    {"tokenName", &vk_KeyValuesNode_t::token_name},
    {"clientCreated", &vk_KeyValuesNode_t::client_created},
    {"controller", &vk_KeyValuesNode_t::controller},
    {"lifetime", &vk_KeyValuesNode_t::lifetime},
    {"terminalPackets", &vk_KeyValuesNode_t::terminal_packets},
    {"terminalLostPackets", &vk_KeyValuesNode_t::terminal_lost_packets},
    {"terminalConnectTime", &vk_KeyValuesNode_t::terminal_conn_time},
    {"terminalIdleTime", &vk_KeyValuesNode_t::terminal_idle_time},
    {"terminalBytes", &vk_KeyValuesNode_t::terminal_bytes},
    {"terminalLatency", &vk_KeyValuesNode_t::terminal_latency},
    {"encryptUpType", &vk_KeyValuesNode_t::enc_up_type},
    {"encryptDownType", &vk_KeyValuesNode_t::enc_down_type},
    {"authenticateUpType", &vk_KeyValuesNode_t::auth_up_type},
    {"authenticateDownType", &vk_KeyValuesNode_t::auth_down_type},
    {"securityMode", &vk_KeyValuesNode_t::security_mode},
};

constexpr Field kAllTexts[] = {
    &vk_KeyValuesNode_t::terminal_CID,
    &vk_KeyValuesNode_t::model,
    &vk_KeyValuesNode_t::firmware,
    &vk_KeyValuesNode_t::boot,
    &vk_KeyValuesNode_t::connected,
    &vk_KeyValuesNode_t::MHgroup_name,
    &vk_KeyValuesNode_t::MHdata,
    &vk_KeyValuesNode_t::create_time,
    &vk_KeyValuesNode_t::connect_time,
    &vk_KeyValuesNode_t::terminal_IPA,
    &vk_KeyValuesNode_t::terminal_port,
    &vk_KeyValuesNode_t::local_name,
    &vk_KeyValuesNode_t::global_name,
    &vk_KeyValuesNode_t::module_name,
    &vk_KeyValuesNode_t::session_mgr_id,
    &vk_KeyValuesNode_t::service_init_cmd,
    &vk_KeyValuesNode_t::token_name,
    &vk_KeyValuesNode_t::client_created,
    &vk_KeyValuesNode_t::controller,
    &vk_KeyValuesNode_t::lifetime,
    &vk_KeyValuesNode_t::terminal_packets,
    &vk_KeyValuesNode_t::terminal_lost_packets,
    &vk_KeyValuesNode_t::terminal_conn_time,
    &vk_KeyValuesNode_t::terminal_idle_time,
    &vk_KeyValuesNode_t::terminal_bytes,
    &vk_KeyValuesNode_t::terminal_latency,
    &vk_KeyValuesNode_t::enc_up_type,
    &vk_KeyValuesNode_t::enc_down_type,
    &vk_KeyValuesNode_t::auth_up_type,
    &vk_KeyValuesNode_t::auth_down_type,
    &vk_KeyValuesNode_t::security_mode,
};

// Replaces a field's text with a copy of `value`; like every allocation of
// this parser it goes through safe_malloc, which ends the program when
// memory runs out.
void set_text(char *&field, const char *value) {
    size_t n = std::strlen(value) + 1;
    char *copy = static_cast<char *>(safe_malloc(n));
    std::memcpy(copy, value, n);
    std::free(field);
    field = copy;
}

// A decimal number as atoi reads it; values past 32 bits wrap as an
// unsigned 32-bit field stores them, without overflowing on the way.
unsigned int read_index(const char *text) {
    long long v = std::strtoll(text, nullptr, 10);
    return static_cast<unsigned int>(static_cast<uint64_t>(v));
}

// Each side of a key=value line, as parse_key_and_value takes it: cut to
// its first 511 characters, then trimmed of blanks, tabs and newlines;
// false when nothing else is left.
constexpr size_t kSideMax = 511;

bool trimmed_side(std::string_view v, std::string_view *out) {
    v = v.substr(0, kSideMax);
    auto trim = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
    size_t b = 0;
    while (b < v.size() && trim(v[b])) ++b;
    if (b == v.size()) return false;
    size_t e = v.size();
    while (e > b + 1 && trim(v[e - 1])) --e;
    *out = v.substr(b, e - b);
    return true;
}

// Whether "~key~" is in the key list. `framed` has room for the longest key.
bool admitted(const char *keys_string, std::string_view key, char (&framed)[kSideMax + 3]) {
    if (!keys_string) return false;
    framed[0] = '~';
    std::memcpy(framed + 1, key.data(), key.size());
    framed[key.size() + 1] = '~';
    framed[key.size() + 2] = '\0';
    return std::strstr(keys_string, framed) != nullptr;
}

bool same_key(std::string_view key, std::string_view name) {
    return key.size() == name.size() && strncasecmp(key.data(), name.data(), key.size()) == 0;
}

// Where a record's texts go: malloc'd copies that the record owns
// (set_text), or copies in a room that the caller provides and that
// outlives its use of the record.
struct OwnTexts {
    void operator()(char *&field, const char *value) const { set_text(field, value); }
};
struct RoomTexts {
    char *at, *end;
    void operator()(char *&field, const char *value) {
        size_t n = std::strlen(value) + 1;
        if (n > static_cast<size_t>(end - at)) return;  // never: the room holds the record's text
        std::memcpy(at, value, n);
        field = at;
        at += n;
    }
};

// Keys are matched without regard to case.
template <typename Texts>
void apply_pair(vk_KeyValuesNode_t *r, std::string_view key, const char *value, int sort,
                Texts &store) {
    auto is = [&](std::string_view k) { return same_key(key, k); };
    if (is("MultiheadPrimary")) {
        if (std::strcmp(value, "false") == 0) r->flag |= VK_KV_NOT_PRIMARY;
    } else if (is("MultiheadTerminalIndex")) {
        r->MHterm_index = read_index(value);
    } else if (is("LocalName")) {
        if (sort != VK_SORT_BY_X_TOKEN) store(r->local_name, value);
    } else if (is("annotation.x_token")) {
        r->flag |= VK_KV_X_TOKEN;
        if (sort == VK_SORT_BY_X_TOKEN) store(r->token_name, get_short_token_id(value));
    } else if (is("terminalCID")) {
        store(r->terminal_CID, value);
    } else if (is("terminalId")) {
        if (!r->terminal_CID) store(r->terminal_CID, value);
    } else {
        for (const PlainKey &k : kPlainKeys) {
            if (is(k.key)) {
                store(r->*k.field, value);
                return;
            }
        }
    }
}

const char *sort_key(const vk_KeyValuesNode_t *r, int sort) {
    const char *k = sort == VK_SORT_BY_TERMINAL ? r->terminal_CID : r->token_name;
    return k ? k : "";
}

}  // namespace

const char *get_short_token_id(const char *full_token_id) {
    if (!full_token_id) return nullptr;
    std::string_view id(full_token_id);
    size_t last = id.rfind('.');
    if (last == std::string_view::npos || last == 0) return full_token_id;
    size_t second = id.rfind('.', last - 1);
    if (second == std::string_view::npos) return full_token_id;
    return full_token_id + second + 1;
}

void free_KeyValuesNode(vk_KeyValuesNode_t *node) {
    if (!node) return;
    for (Field f : kAllTexts) std::free(node->*f);
    std::free(node);
}

void vk_free_KeyValuesNode_list(vk_KeyValuesNode_t *head) {
    while (head) {
        vk_KeyValuesNode_t *next = head->next;
        free_KeyValuesNode(head);
        head = next;
    }
}

void add_to_KeyValuesNode_list(vk_KeyValuesNode_t **head, vk_KeyValuesNode_t *node, int sort) {
    if (!head || !node) return;
    // Equal keys keep their order of arrival: walk past every key <= new.
    vk_KeyValuesNode_t **link = head;
    while (*link && std::strcmp(sort_key(node, sort), sort_key(*link, sort)) >= 0)
        link = &(*link)->next;
    node->next = *link;
    *link = node;
}

namespace {

// Fills `r` (zeroed, no index) from the record's text; whether the record is
// kept.
template <typename Texts>
bool fill_record(vk_KeyValuesNode_t *r, const char *entry_buf, int sort, const char *keys_string,
                 const char *terminal_id_substring, Texts &texts) {
    r->MHterm_index = ~0u;
    // Each line as parse_key_and_value would cut it, read in place: a
    // reply holds thousands of records.
    std::string_view text(entry_buf ? entry_buf : "");
    char framed[kSideMax + 3], value[kSideMax + 1];
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (line.size() <= 1 || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view k, v;
        if (!trimmed_side(line.substr(0, eq), &k) || !trimmed_side(line.substr(eq + 1), &v) ||
            !admitted(keys_string, k, framed))
            continue;
        std::memcpy(value, v.data(), v.size());
        value[v.size()] = '\0';
        apply_pair(r, k, value, sort, texts);
    }
    return r->terminal_CID && r->token_name && !(sort == VK_SORT_BY_TOKEN && !*r->token_name) &&
           (!terminal_id_substring || std::strstr(terminal_id_substring, r->terminal_CID));
}

}  // namespace

int parse_record(vk_KeyValuesNode_t **list, const char *entry_buf, int sort,
                 const char *keys_string, const char *terminal_id_substring) {
    auto *r = static_cast<vk_KeyValuesNode_t *>(safe_malloc(sizeof(vk_KeyValuesNode_t)));
    OwnTexts own;
    bool keep = fill_record(r, entry_buf, sort, keys_string, terminal_id_substring, own);
    if (keep && list)
        add_to_KeyValuesNode_list(list, r, sort);
    else
        free_KeyValuesNode(r);
    return 0;
}

bool parse_record_in(vk_KeyValuesNode_t *r, const char *entry_buf, int sort,
                     const char *keys_string, const char *terminal_id_substring, char *room,
                     size_t room_size) {
    *r = vk_KeyValuesNode_t{};
    RoomTexts in_room{room, room + room_size};
    return fill_record(r, entry_buf, sort, keys_string, terminal_id_substring, in_room);
}
