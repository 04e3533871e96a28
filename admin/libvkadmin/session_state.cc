// Completion of session records from the authentication manager: whether a
// session's token is at a terminal now, whether its display is idle, and
// how its connection is secured, with the terminals of a multihead group
// joined into lists.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "auth_reply.h"
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

using SessionField = char *vk_UserSession_t::*;

void set_copy(vk_UserSession_t *s, SessionField field, const char *value) {
    replace_session_text(s, field, safe_strdup(value));
}

// What set_state keeps of one status record: its texts in one block, where
// the manager's record with its forty fields took several hundred bytes in
// a dozen allocations. A host with thousands of terminals holds one for
// each until the reply is complete.
class Status {
  public:
    enum Text { Token, Group, Terminal, EncUp, EncDown, AuthUp, AuthDown, Mode, kTexts };

    explicit Status(const vk_KeyValuesNode_t &r) : index_(r.MHterm_index), flag_(r.flag) {
        const char *from[kTexts] = {r.token_name,     r.MHgroup_name,  r.terminal_CID,
                                    r.enc_up_type,    r.enc_down_type, r.auth_up_type,
                                    r.auth_down_type, r.security_mode};
        size_t size = 0;
        for (const char *t : from) size += t ? std::strlen(t) + 1 : 0;
        text_.reserve(size);
        for (int i = 0; i < kTexts; ++i) {
            if (!from[i]) {
                at_[i] = kAbsent;
                continue;
            }
            at_[i] = static_cast<uint16_t>(text_.size());
            text_ += from[i];
            text_ += '\0';
        }
    }
    // Null when the record did not have it.
    const char *get(Text t) const { return at_[t] == kAbsent ? nullptr : text_.data() + at_[t]; }
    unsigned index() const { return index_; }
    unsigned flag() const { return flag_; }

  private:
    // A record is at most 2047 bytes: its offsets fit.
    static constexpr uint16_t kAbsent = 0xffff;
    std::string text_;
    std::array<uint16_t, kTexts> at_{};
    unsigned index_, flag_;
};

constexpr std::array<std::pair<Status::Text, SessionField>, 5> kSecurity = {{
    {Status::EncUp, &vk_UserSession_t::enc_up},
    {Status::EncDown, &vk_UserSession_t::enc_down},
    {Status::AuthUp, &vk_UserSession_t::auth_up},
    {Status::AuthDown, &vk_UserSession_t::auth_down},
    {Status::Mode, &vk_UserSession_t::mode},
}};

// The members of one multihead group seen for a session, by terminal index.
struct Members {
    std::array<const Status *, kMaxMembers> slot{};
    int highest = 0;
    bool matched = false;
};

void apply_members(vk_UserSession_t *s, const Members &m) {
    std::array<std::string, kSecurity.size()> lists;
    std::string terms;
    size_t running = 0;
    bool limit_reported = false;
    for (int i = 0; i <= m.highest; ++i) {
        const Status *r = m.slot[i];
        if (r && r->get(Status::EncUp)) {
            for (size_t k = 0; k < kSecurity.size(); ++k) {
                // A member that lacks one of the other values counts as
                // "none" there, as a single terminal would.
                const char *v = r->get(kSecurity[k].first);
                lists[k] += v ? v : "none";
                if (i < m.highest) lists[k] += ',';
                if (lists[k].size() > kMaxList) lists[k].resize(kMaxList);
            }
        }
        const char *terminal = r ? r->get(Status::Terminal) : nullptr;
        if (terminal && *terminal) {
            running += std::strlen(terminal) + 1;
            if (terms.empty() && running < kTermListLimit) {
                terms = terminal;
            } else if (running < kTermListLimit) {
                terms += ',';
                terms += terminal;
            } else if (!limit_reported) {
                dprintf("set_state(): multiheadterminal list exceeds internal limit of %d",
                        kMaxMembers);
                limit_reported = true;
            }
        }
    }
    for (size_t k = 0; k < kSecurity.size(); ++k)
        set_copy(s, kSecurity[k].second, lists[k].c_str());
    set_copy(s, &vk_UserSession_t::termList, terms.c_str());
}

// The status records of the sessions' tokens, ascending by token name, and
// among equal names in the order the manager sent them: a session finds its
// first record by binary search.
class StatusIndex {
  public:
    // Records of tokens that no session has are not kept.
    explicit StatusIndex(std::vector<std::string_view> wanted) : wanted_(std::move(wanted)) {
        std::sort(wanted_.begin(), wanted_.end());
    }
    void add(const vk_KeyValuesNode_t &r) {
        if (!std::binary_search(wanted_.begin(), wanted_.end(), std::string_view(r.token_name)))
            return;
        records_.emplace_back(r);
    }
    void clear() {
        records_.clear();
        sorted_.clear();
    }
    // Once the reply is complete. The records stay where they are (a deque
    // grows without copying them); their order is kept by reference.
    void sort() {
        sorted_.reserve(records_.size());
        for (const Status &r : records_) sorted_.push_back(&r);
        std::stable_sort(sorted_.begin(), sorted_.end(), [](const Status *a, const Status *b) {
            return std::strcmp(a->get(Status::Token), b->get(Status::Token)) < 0;
        });
    }
    // The records of `token`, in order.
    std::pair<const Status *const *, const Status *const *> of(std::string_view token) const {
        auto [from, to] = std::equal_range(sorted_.begin(), sorted_.end(), token, Less{});
        return {sorted_.data() + (from - sorted_.begin()), sorted_.data() + (to - sorted_.begin())};
    }

  private:
    struct Less {
        bool operator()(const Status *a, std::string_view t) const {
            return std::string_view(a->get(Status::Token)) < t;
        }
        bool operator()(std::string_view t, const Status *a) const {
            return t < std::string_view(a->get(Status::Token));
        }
    };
    std::vector<std::string_view> wanted_;
    std::deque<Status> records_;
    std::vector<const Status *> sorted_;
};

// The session's token as the manager names it: without the prefix.
std::string_view status_token(const vk_UserSession_t *s) {
    std::string_view token(s->tokenName ? s->tokenName : "");
    if (token.starts_with(kTokenPrefix)) token.remove_prefix(kTokenPrefix.size());
    return token;
}

// Matches one session against its status records. Answers false when a
// multihead member carries an index outside 0..63.
bool resolve(vk_UserSession_t *s, const StatusIndex &status) {
    Members m;
    auto [from, to] = status.of(status_token(s));
    for (auto at = from; at != to; ++at) {
        const Status *r = *at;
        s->state &= ~VK_SESSION_DISCONNECTED;
        if (!r->get(Status::Group)) {
            for (const auto &[from_field, to_field] : kSecurity) {
                const char *v = r->get(from_field);
                set_copy(s, to_field, v ? v : "none");
            }
            set_copy(s, &vk_UserSession_t::termList, r->get(Status::Terminal));
            break;
        }
        int index = static_cast<int>(r->index());
        if (index < 0 || index >= kMaxMembers) {
            dprintf("set_state(): Invalid Multihead group index %d\n", index);
            return false;
        }
        m.slot[index] = r;
        if (index > m.highest) m.highest = index;
        m.matched = true;
        if (r->flag() == 0) {
            set_copy(s, &vk_UserSession_t::termPrimary, r->get(Status::Terminal));
            set_copy(s, &vk_UserSession_t::mhGroupName, r->get(Status::Group));
        }
    }
    if (m.matched) apply_members(s, m);
    return true;
}

}  // namespace

int set_state(vk_LinkedList_t **cl) {
    if (!cl || !*cl) return VK_OK;

    std::vector<std::string_view> tokens;
    size_t count = 0;
    for (vk_LinkedList_t *n = *cl; n; n = n->next) ++count;
    tokens.reserve(count);
    for (vk_LinkedList_t *n = *cl; n; n = n->next)
        tokens.push_back(status_token(static_cast<vk_UserSession_t *>(n->node)));
    StatusIndex index(std::move(tokens));
    int rc = vk::for_each_status_record("localhost", const_cast<char **>(kStatusKeys),
                                        [&index](vk_KeyValuesNode_t *r) {
                                            index.add(*r);
                                            free_KeyValuesNode(r);
                                        });
    if (rc != VK_OK) {
        // Without the manager's word every session stays disconnected.
        dprintf("set_state(): failed to contact authd (%s)", vk_err2str(rc));
        index.clear();
    }
    index.sort();

    for (vk_LinkedList_t *n = *cl; n; n = n->next) {
        auto *s = static_cast<vk_UserSession_t *>(n->node);
        int idle = is_idling_session(s->dispNo);
        if (idle == -1) return VK_ERR_INTERNAL;
        if (idle == 1) s->state |= VK_SESSION_IDLE;
        if (!resolve(s, index)) return VK_ERR_INTERNAL;
        pack_session_texts(s);
    }
    return VK_OK;
}
