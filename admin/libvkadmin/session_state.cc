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
#include <iterator>
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

// What set_state keeps of a status record of a multihead group until the
// reply is complete: its texts in one block, where the manager's record
// with its forty fields took several hundred bytes in a dozen allocations.
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

// The session's token as the manager names it: without the prefix.
std::string_view status_token(const vk_UserSession_t *s) {
    std::string_view token(s->tokenName ? s->tokenName : "");
    if (token.starts_with(kTokenPrefix)) token.remove_prefix(kTokenPrefix.size());
    return token;
}

// Applies the manager's records to the sessions as they arrive, so that no
// more than the records of multihead groups is kept: a host with thousands
// of terminals would otherwise hold them all until the reply is complete.
// Each session takes the records of its token in the order they came: a
// single terminal's record settles it; before that, the members of its
// multihead group are gathered and joined at the end.
class StatusJoin {
  public:
    explicit StatusJoin(vk_LinkedList_t *list) {
        size_t count = 0;
        for (vk_LinkedList_t *n = list; n; n = n->next) ++count;
        targets_.reserve(count);
        for (vk_LinkedList_t *n = list; n; n = n->next) {
            auto *s = static_cast<vk_UserSession_t *>(n->node);
            targets_.push_back({status_token(s), s});
        }
        // The list is in token order already, unless a token still began
        // with the prefix after its display file was read.
        auto less = [](const Target &a, const Target &b) { return a.token < b.token; };
        if (!std::is_sorted(targets_.begin(), targets_.end(), less))
            std::sort(targets_.begin(), targets_.end(), less);
    }

    void add(const vk_KeyValuesNode_t &r) {
        if (invalid_) return;
        auto [from, to] = std::equal_range(targets_.begin(), targets_.end(),
                                           std::string_view(r.token_name), Less{});
        const Status *kept = nullptr;
        for (auto t = from; t != to && !invalid_; ++t) {
            if (t->settled) continue;
            vk_UserSession_t *s = t->session;
            s->state &= ~VK_SESSION_DISCONNECTED;
            if (!r.MHgroup_name) {
                const char *values[] = {r.enc_up_type, r.enc_down_type, r.auth_up_type,
                                        r.auth_down_type, r.security_mode};
                static_assert(std::size(values) == kSecurity.size());
                for (const char *&v : values) v = v ? v : "none";
                // Straight into the record's block when it is packed: no
                // copy of each text on the way.
                if (!pack_session_texts(s, {{kSecurity[0].second, values[0]},
                                            {kSecurity[1].second, values[1]},
                                            {kSecurity[2].second, values[2]},
                                            {kSecurity[3].second, values[3]},
                                            {kSecurity[4].second, values[4]},
                                            {&vk_UserSession_t::termList, r.terminal_CID}})) {
                    for (size_t k = 0; k < kSecurity.size(); ++k)
                        set_copy(s, kSecurity[k].second, values[k]);
                    set_copy(s, &vk_UserSession_t::termList, r.terminal_CID);
                    pack_session_texts(s);
                }
                t->token = status_token(s);  // the same text, moved with the others
                t->settled = true;
                continue;
            }
            int index = static_cast<int>(r.MHterm_index);
            if (index < 0 || index >= kMaxMembers) {
                dprintf("set_state(): Invalid Multihead group index %d\n", index);
                invalid_ = true;
                break;
            }
            if (!kept) kept = &group_records_.emplace_back(r);
            if (!t->members) t->members = &members_.emplace_back();
            Members &m = *t->members;
            m.slot[index] = kept;
            if (index > m.highest) m.highest = index;
            m.matched = true;
            if (r.flag == 0) {
                set_copy(s, &vk_UserSession_t::termPrimary, r.terminal_CID);
                set_copy(s, &vk_UserSession_t::mhGroupName, r.MHgroup_name);
            }
        }
    }

    // Once the whole reply is in: joins the groups. False when a member
    // carried an index outside 0..63.
    bool finish() {
        if (invalid_) return false;
        for (Target &t : targets_) {
            if (!t.members) continue;
            apply_members(t.session, *t.members);
            pack_session_texts(t.session);
        }
        return true;
    }

    // A reply that did not end as the manager ends it is not trusted in
    // part: every session is left as it came, from its display file alone,
    // with none of the manager's values and disconnected.
    void discard() {
        for (Target &t : targets_) {
            for (const auto &field : kSecurity)
                replace_session_text(t.session, field.second, nullptr);
            for (SessionField f : {&vk_UserSession_t::termList, &vk_UserSession_t::termPrimary,
                                   &vk_UserSession_t::mhGroupName})
                replace_session_text(t.session, f, nullptr);
            t.session->state |= VK_SESSION_DISCONNECTED;
            t.settled = false;
            t.members = nullptr;
        }
        members_.clear();
        group_records_.clear();
        invalid_ = false;
    }

  private:
    struct Target {
        std::string_view token;  // in the session's own texts
        vk_UserSession_t *session;
        bool settled = false;
        Members *members = nullptr;
    };
    struct Less {
        bool operator()(const Target &a, std::string_view t) const { return a.token < t; }
        bool operator()(std::string_view t, const Target &a) const { return t < a.token; }
    };
    std::vector<Target> targets_;
    // Deques: what the targets point to stays where it is as they grow.
    std::deque<Members> members_;
    std::deque<Status> group_records_;
    bool invalid_ = false;
};

}  // namespace

// The records are fresh from their display files: none of the manager's
// values yet, and disconnected.
int set_state(vk_LinkedList_t **cl) {
    if (!cl || !*cl) return VK_OK;

    StatusJoin join(*cl);
    int rc = vk::for_each_status_record(kStatusHost, const_cast<char **>(kStatusKeys),
                                        [&join](const vk_KeyValuesNode_t &r) { join.add(r); });
    if (rc != VK_OK) {
        // Without the manager's word every session stays disconnected.
        dprintf("set_state(): failed to contact authd (%s)", vk_err2str(rc));
        join.discard();
    }
    if (!join.finish()) return VK_ERR_INTERNAL;

    for (vk_LinkedList_t *n = *cl; n; n = n->next) {
        auto *s = static_cast<vk_UserSession_t *>(n->node);
        int idle = is_idling_session(s->dispNo);
        if (idle == -1) return VK_ERR_INTERNAL;
        if (idle == 1) s->state |= VK_SESSION_IDLE;
    }
    return VK_OK;
}
