// HTML made on the server from texts that come from session files and from
// other servers: every text is escaped for where it goes.
#ifndef VK_WEB_HTML_H
#define VK_WEB_HTML_H

#include <string>
#include <string_view>

namespace vkweb {

// For element content and for quoted attribute values: & < > " ' are
// written as entities; control characters and bytes that are no UTF-8
// become "?" first (vk::terminal_text).
std::string esc(std::string_view text);

// For a query parameter's value in a URL: everything but unreserved
// characters percent-encoded.
std::string url_encode(std::string_view text);

// The reverse, for form bodies and query strings ("+" is a blank); none
// for a broken escape.
bool url_decode(std::string_view text, std::string &out);

// Bytes as lower-case hex, and back (none for anything but hex pairs).
std::string to_hex(std::string_view bytes);
bool from_hex(std::string_view hex, std::string &out);

// Bytes in the URL-safe base64 alphabet without padding, and back (none
// for anything else): keys of sessions in forms and links, shorter than hex.
std::string to_base64url(std::string_view bytes);
bool from_base64url(std::string_view text, std::string &out);

}  // namespace vkweb

#endif
