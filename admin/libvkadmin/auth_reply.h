// Inside the library: reading the authentication manager's status reply from
// a connected socket and cutting it into records. Kept apart from the
// connection set-up so that the reply handling can be driven from a socket
// pair or a memory buffer (unit tests, fuzzing).
#ifndef VK_AUTH_REPLY_H
#define VK_AUTH_REPLY_H

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "vkadmin.h"

// parse_record into `r` without an allocation: the record's texts are put
// in `room` (at least as large as entry_buf's text and its NUL), and live
// as long as it does. Whether parse_record would keep the record.
bool parse_record_in(vk_KeyValuesNode_t *r, const char *entry_buf, int sort,
                     const char *keys_string, const char *terminal_id_substring, char *room,
                     size_t room_size);

namespace vk {

// Cuts the reply into records at "begin" and "end" lines, whatever the sizes
// of the reads it arrives in, and hands each record's text to parse_record.
// A line is held in 512 bytes and a record in 2048: a longer line is left
// out of its record as a whole, and a longer record is not handed to the
// parser at all. Either way the terminal then shows as it would without the
// manager's word, rather than with a value cut in the middle.
class StatusReply {
  public:
    static constexpr size_t kMaxLine = 511;
    static constexpr size_t kMaxRecord = 2047;

    // Each record the parser keeps is handed to the sink instead of being
    // linked into a list; it and its texts last until the sink returns (a
    // reply of thousands of records makes no allocations for them).
    using Sink = std::function<void(const vk_KeyValuesNode_t &)>;

    StatusReply(vk_KeyValuesNode_t **list, int sort, const char *keys, const char *desktop)
        : list_(list), sort_(sort), keys_(keys), desktop_(desktop) {}
    StatusReply(Sink sink, int sort, const char *keys, const char *desktop)
        : list_(nullptr), sort_(sort), keys_(keys), desktop_(desktop), sink_(std::move(sink)) {}

    void feed(const char *data, size_t n);

  private:
    void line_done();
    void link(vk_KeyValuesNode_t *record);

    vk_KeyValuesNode_t **list_;
    int sort_;
    const char *keys_;
    const char *desktop_;
    Sink sink_;
    std::string line_, record_;
    std::string room_;  // the texts of the record handed to the sink
    bool line_too_long_ = false, record_too_long_ = false;
    // Each record goes where add_to_KeyValuesNode_list would put it (after
    // every record whose key is not greater), found through the last record
    // of each key instead of a walk from the head: a manager with
    // thousands of terminals made the reply quadratic. The index holds for
    // the list as this reply left it; a list changed from outside is
    // indexed afresh.
    std::map<std::string_view, vk_KeyValuesNode_t *> last_of_key_;
    vk_KeyValuesNode_t *indexed_head_ = nullptr;
};

// How long and how much of a reply is waited for and read.
//
// The manager answers "status" with one record per terminal and closes the
// connection; the reply is read until it does. The protocol bounds only the
// wait for the first data (first_ms, 5000 ms); after that it waits as long
// as the manager keeps the connection open, because a manager under load
// may pause between records. But whoever listens on the manager's port (any
// local user can, while the manager is down) decides when the reply ends,
// so the reading adds two bounds of its own, the one place where it departs
// from the protocol:
// - the whole reply must be in within total_ms of the first data;
// - the reply may be at most max_bytes long.
// A manager that serves its terminals sends its reply in one burst of a few
// KiB per terminal: a thousand terminals make about a MiB, sent over the
// loopback in milliseconds. The bounds leave orders of magnitude of room for
// that and for a manager that is slow, and still let the administrator's
// command end within half a minute when the other end stalls.
struct ReplyLimits {
    int first_ms = 5000;
    int total_ms = 30000;
    size_t max_bytes = size_t{16} << 20;
};

// Reads the reply from the non-blocking socket `fd` into `reply` until the
// other end closes. 0 on success; -15 when no data came within first_ms
// (the list is untouched) or the whole reply ran past its limit; -1 for a read error or a reply
// over max_bytes. On -1 and on the late -15 the records of the incomplete reply are freed and *list
// is null: a reply that did not end as the manager ends it is not trusted in part.
int read_status_reply(int fd, StatusReply &reply, vk_KeyValuesNode_t **list,
                      const ReplyLimits &limits);

// vk_getAuthMgrRecords("status", by token, no desktop) with each record
// handed to `sink` as it is read instead of a list: 0 when the whole reply
// came, as the manager ends it; otherwise the records handed over are not
// to be trusted.
int for_each_status_record(const char *server_name, char **keys, const StatusReply::Sink &sink);

}  // namespace vk

#endif
