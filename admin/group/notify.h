// Notices to the users of sessions: the lifetime warning of the limits,
// and an administrator's own text to chosen sessions across the group
// ("the server restarts at six").
#ifndef VK_GROUP_NOTIFY_H
#define VK_GROUP_NOTIFY_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "group.h"

namespace vkgroup {

// A notice is at most this long; the rest of a longer text is cut.
inline constexpr size_t kMaxNotice = size_t{64} << 10;

// `text` fit for a notice: line breaks kept, every other control character
// (C0, DEL, C1, bidirectional controls) removed, bytes that are no part of
// valid UTF-8 shown as "?", cut at kMaxNotice bytes (never inside a
// character).
std::string notice_text(std::string_view text);

// Base64 (RFC 4648, with padding): how a notice travels as one word of a
// far command line, whatever it holds.
std::string base64_encode(std::string_view bytes);
std::optional<std::string> base64_decode(std::string_view text);

// Shows `text` on this host's display `display` (digits) through the
// message tool; false with `why` when it could not.
bool show_notice(const std::string &display, const std::string &text, std::string &why);

// Shows `text` on the displays of the sessions of `listing` named by
// `which`, each through the member that holds it, in parallel. Outcomes
// in the order of `which`.
std::vector<Outcome> notify_sessions(const Listing &listing, const std::vector<size_t> &which,
                                     const std::string &text, const Options &opt);

}  // namespace vkgroup

#endif
