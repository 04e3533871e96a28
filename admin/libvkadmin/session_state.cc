// Completion of session records from the authentication manager: whether a
// session's token is at a terminal now, whether its display is idle, and
// how its connection is secured, with the terminals of a multihead group
// joined into lists.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "session_files.h"
#include "user_session_internal.h"
#include "vkcxx.h"

namespace {

constexpr std::string_view kTokenPrefix = "DeruRevaz.xx.";
constexpr int kMaxMembers = 64;
// The joined security lists are cut at 1023 characters, the terminal list
// stops taking ids once the running length would reach 1344.
constexpr size_t kMaxList = 1023;
constexpr size_t kTermListLimit = 1344;

const char *kStatusKeys[] = {"tokenName",
                             "encryptUpType",
                             "encryptDownType",
                             "authenticateUpType",
                             "authenticateDownType",
                             "securityMode",
                             "MultiheadTerminalIndex",
                             "MultiheadGroupName",
                             "MultiheadData",
                             "MultiheadPrimary",
                             "terminalCID",
                             "MultiheadGroupName",
                             nullptr};

using StatusField = char *vk_KeyValuesNode_t::*;
using SessionField = char *vk_UserSession_t::*;
constexpr std::array<std::pair<StatusField, SessionField>, 5> kSecurity = {{
    {&vk_KeyValuesNode_t::enc_up_type, &vk_UserSession_t::enc_up},
    {&vk_KeyValuesNode_t::enc_down_type, &vk_UserSession_t::enc_down},
    {&vk_KeyValuesNode_t::auth_up_type, &vk_UserSession_t::auth_up},
    {&vk_KeyValuesNode_t::auth_down_type, &vk_UserSession_t::auth_down},
    {&vk_KeyValuesNode_t::security_mode, &vk_UserSession_t::mode},
}};

struct StatusListFree {
    void operator()(vk_KeyValuesNode_t *l) const noexcept { vk_free_KeyValuesNode_list(l); }
};

void set_copy(char *&field, const char *value) {
    std::free(field);
    field = safe_strdup(value);
}

// The members of one multihead group seen for a session, by terminal index.
struct Members {
    std::array<const vk_KeyValuesNode_t *, kMaxMembers> slot{};
    int highest = 0;
    bool matched = false;
};

void apply_members(vk_UserSession_t *s, const Members &m) {
    std::array<std::string, kSecurity.size()> lists;
    std::string terms;
    size_t running = 0;
    bool limit_reported = false;
    for (int i = 0; i <= m.highest; ++i) {
        const vk_KeyValuesNode_t *r = m.slot[i];
        if (r && r->enc_up_type) {
            for (size_t k = 0; k < kSecurity.size(); ++k) {
                // A member that lacks one of the other values counts as
                // "none" there, as a single terminal would.
                const char *v = r->*kSecurity[k].first;
                lists[k] += v ? v : "none";
                if (i < m.highest) lists[k] += ',';
                if (lists[k].size() > kMaxList) lists[k].resize(kMaxList);
            }
        }
        if (r && r->terminal_CID && *r->terminal_CID) {
            running += std::strlen(r->terminal_CID) + 1;
            if (terms.empty() && running < kTermListLimit) {
                terms = r->terminal_CID;
            } else if (running < kTermListLimit) {
                terms += ',';
                terms += r->terminal_CID;
            } else if (!limit_reported) {
                dprintf("set_state(): multiheadterminal list exceeds internal limit of %d",
                        kMaxMembers);
                limit_reported = true;
            }
        }
    }
    for (size_t k = 0; k < kSecurity.size(); ++k)
        set_copy(s->*kSecurity[k].second, lists[k].c_str());
    set_copy(s->termList, terms.c_str());
}

// The status list (ascending by token name) in an array, so that a session
// finds its first record by binary search instead of walking the list from
// its head: with thousands of sessions and terminals the walks would
// dominate the enumeration.
class StatusIndex {
  public:
    explicit StatusIndex(const vk_KeyValuesNode_t *status) {
        for (const vk_KeyValuesNode_t *r = status; r; r = r->next) records_.push_back(r);
    }
    // The first record whose token name is not below `token`, which is
    // where the walk from the head would have stopped skipping; null if none.
    const vk_KeyValuesNode_t *first_from(const char *token) const {
        auto it = std::lower_bound(records_.begin(), records_.end(), token,
                                   [](const vk_KeyValuesNode_t *r, const char *t) {
                                       return std::strcmp(r->token_name, t) < 0;
                                   });
        return it == records_.end() ? nullptr : *it;
    }

  private:
    std::vector<const vk_KeyValuesNode_t *> records_;
};

// Matches one session against the status list from its first candidate
// record on. Answers false when a multihead member carries an index outside
// 0..63.
bool resolve(vk_UserSession_t *s, const StatusIndex &status) {
    std::string_view token(s->tokenName ? s->tokenName : "");
    if (token.starts_with(kTokenPrefix)) token.remove_prefix(kTokenPrefix.size());
    const std::string lookup(token);

    Members m;
    for (const vk_KeyValuesNode_t *r = status.first_from(lookup.c_str()); r; r = r->next) {
        int c = std::strcmp(r->token_name, lookup.c_str());
        if (c < 0) continue;
        if (c > 0) break;
        s->state &= ~VK_SESSION_DISCONNECTED;
        if (!r->MHgroup_name) {
            for (const auto &[from, to] : kSecurity) set_copy(s->*to, r->*from ? r->*from : "none");
            set_copy(s->termList, r->terminal_CID);
            break;
        }
        int index = static_cast<int>(r->MHterm_index);
        if (index < 0 || index >= kMaxMembers) {
            dprintf("set_state(): Invalid Multihead group index %d\n", index);
            return false;
        }
        m.slot[index] = r;
        if (index > m.highest) m.highest = index;
        m.matched = true;
        if (r->flag == 0) {
            set_copy(s->termPrimary, r->terminal_CID);
            set_copy(s->mhGroupName, r->MHgroup_name);
        }
    }
    if (m.matched) apply_members(s, m);
    return true;
}

}  // namespace

int set_state(vk_LinkedList_t **cl) {
    if (!cl || !*cl) return VK_OK;

    vk_KeyValuesNode_t *head = nullptr;
    int rc = vk_getAuthMgrRecords("localhost", VK_SORT_BY_TOKEN, nullptr,
                                  const_cast<char **>(kStatusKeys), &head);
    std::unique_ptr<vk_KeyValuesNode_t, StatusListFree> status(head);
    if (rc != VK_OK) {
        // Without the manager's word every session stays disconnected.
        dprintf("set_state(): failed to contact authd (%s)", vk_err2str(rc));
        vk_free_KeyValuesNode_list(status.release());
    }

    const StatusIndex index(status.get());
    for (vk_LinkedList_t *n = *cl; n; n = n->next) {
        auto *s = static_cast<vk_UserSession_t *>(n->node);
        int idle = is_idling_session(s->dispNo);
        if (idle == -1) return VK_ERR_INTERNAL;
        if (idle == 1) s->state |= VK_SESSION_IDLE;
        if (!resolve(s, index)) return VK_ERR_INTERNAL;
    }
    return VK_OK;
}
