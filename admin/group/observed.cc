#include "observed.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "atomic_file.h"
#include "root_file.h"
#include "text.h"
#include "vkcxx.h"

namespace vkgroup {

namespace {

constexpr const char *kHeader = "vk-observed 1\n";
// Sessions of a few hundred bytes each: far more than kMaxSessions of
// them. A larger file is no state of ours; its times start again.
constexpr size_t kMaxFileSize = size_t{32} << 20;

void put_time(std::string &out, const std::optional<int64_t> &t) {
    out += t ? std::to_string(*t) : "-";
    out += ' ';
}

bool take_time(std::string_view &rest, std::optional<int64_t> &t) {
    size_t sp = rest.find(' ');
    if (sp == std::string_view::npos || sp == 0 || sp > 20) return false;
    std::string_view word = rest.substr(0, sp);
    rest.remove_prefix(sp + 1);
    if (word == "-") {
        t.reset();
        return true;
    }
    int64_t n = 0;
    for (char c : word) {
        if (c < '0' || c > '9' || n > (INT64_MAX - 9) / 10) return false;
        n = n * 10 + (c - '0');
    }
    t = n;
    return true;
}

void keep_earliest(std::optional<int64_t> &since, bool now_in_state, int64_t now) {
    if (!now_in_state)
        since.reset();
    else if (!since || *since > now)  // a clock set back must not age a session
        since = now;
}

}  // namespace

void Observed::observe(const std::vector<Sighting> &seen, int64_t now, bool disconnected_known,
                       bool idle_known) {
    // Updated in place: a session seen again is neither copied nor moved,
    // and those not seen this time are dropped at the end.
    for (auto &entry : sessions_) entry.second.seen = false;
    size_t kept = 0;
    for (const Sighting &s : seen) {
        if (s.key.empty() || s.key.size() > kMaxKey) continue;
        auto it = sessions_.find(s.key);
        const bool counted = it != sessions_.end() && it->second.seen;
        if (!counted && kept == kMaxSessions) continue;
        if (it == sessions_.end()) {
            it = sessions_.emplace(s.key, Kept{}).first;
            changed_ = true;
        }
        if (!counted) {
            it->second.seen = true;
            ++kept;
        }
        Timing &t = it->second.timing;
        const Timing before = t;
        keep_earliest(t.disconnected_since, disconnected_known && s.disconnected, now);
        keep_earliest(t.idle_since, idle_known && s.idle, now);
        if (t.disconnected_since != before.disconnected_since || t.idle_since != before.idle_since)
            changed_ = true;
    }
    changed_ |= std::erase_if(sessions_, [](const auto &entry) { return !entry.second.seen; }) > 0;
}

const Timing *Observed::find(const std::string &key) const {
    auto it = sessions_.find(key);
    return it == sessions_.end() ? nullptr : &it->second.timing;
}

void Observed::set_warned(const std::string &key, int64_t when) {
    auto it = sessions_.find(key);
    if (it == sessions_.end() || it->second.timing.warned_at == when) return;
    it->second.timing.warned_at = when;
    changed_ = true;
}

std::string Observed::serialize() const {
    std::string out = kHeader;
    // In key order, so that one state is always one text.
    std::vector<const std::pair<const std::string, Kept> *> sorted;
    sorted.reserve(sessions_.size());
    for (const auto &entry : sessions_) sorted.push_back(&entry);
    std::sort(sorted.begin(), sorted.end(), [](auto *a, auto *b) { return a->first < b->first; });
    for (const auto *entry : sorted) {
        const std::string &key = entry->first;
        const Timing &t = entry->second.timing;
        put_time(out, t.disconnected_since);
        put_time(out, t.idle_since);
        put_time(out, t.warned_at);
        out += vk::percent_escape(key);
        out += '\n';
    }
    out += "ended " + std::to_string(ended_[0]) + " " + std::to_string(ended_[1]) + " " +
           std::to_string(ended_[2]) + "\n";
    out += "end " + std::to_string(sessions_.size()) + "\n";
    return out;
}

bool Observed::parse(const std::string &text) {
    sessions_.clear();
    ended_[0] = ended_[1] = ended_[2] = 0;
    std::unordered_map<std::string, Kept> read;
    uint64_t ended[3] = {0, 0, 0};
    bool counted = false;
    std::string_view rest(text);
    if (rest.substr(0, std::strlen(kHeader)) != kHeader) return false;
    rest.remove_prefix(std::strlen(kHeader));
    for (;;) {
        size_t nl = rest.find('\n');
        if (nl == std::string_view::npos) return false;  // cut short
        std::string_view line = rest.substr(0, nl);
        rest.remove_prefix(nl + 1);
        if (line.substr(0, 4) == "end ") {
            if (!counted || !rest.empty() || line.substr(4) != std::to_string(read.size()))
                return false;
            sessions_.swap(read);
            std::copy(ended, ended + 3, ended_);
            return true;
        }
        if (counted) return false;  // nothing but the end after the counters
        if (line.substr(0, 6) == "ended ") {
            std::string_view numbers = line.substr(6);
            std::optional<int64_t> n[3];
            std::string words = std::string(numbers) + " ";
            std::string_view w(words);
            for (auto &x : n)
                if (!take_time(w, x) || !x) return false;
            if (!w.empty()) return false;
            for (size_t i = 0; i < 3; ++i) ended[i] = static_cast<uint64_t>(*n[i]);
            counted = true;
            continue;
        }
        Timing t;
        if (!take_time(line, t.disconnected_since) || !take_time(line, t.idle_since) ||
            !take_time(line, t.warned_at))
            return false;
        auto key = vk::percent_unescape(line);
        if (!key || key->empty() || key->size() > kMaxKey || read.size() == kMaxSessions)
            return false;
        if (!read.emplace(std::move(*key), Kept{t, true}).second) return false;
    }
}

bool Observed::load(const std::string &path, std::string &error) {
    sessions_.clear();
    changed_ = true;  // until the file is known to hold this state
    std::optional<std::string> text;
    if (!vk::read_root_file(path, kMaxFileSize, text, error)) return false;
    if (!text) return true;
    if (parse(*text)) {
        changed_ = false;
        return true;
    }
    error = path + ": damaged; the times it held start again from now";
    return false;
}

bool Observed::save(const std::string &path, std::string &error) {
    // Most runs of a quiet host change nothing: the file stays as it is,
    // unwritten and unsynced, every minute.
    if (!changed_) return true;
    if (!vk::write_file_atomically(path, serialize(), 0600, error)) return false;
    changed_ = false;
    return true;
}

}  // namespace vkgroup
