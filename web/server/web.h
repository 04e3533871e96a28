// The web side's requests, responses and pages, apart from the HTTP server
// library, so that the pages can be tested on their own.
#ifndef VK_WEB_WEB_H
#define VK_WEB_WEB_H

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "protocol.h"

namespace vkweb {

struct HttpRequest {
    std::string method;  // "GET", "POST", ...
    std::string path;
    std::map<std::string, std::string> query;               // decoded
    std::vector<std::pair<std::string, std::string>> form;  // decoded POST fields, in order
    std::string session_cookie, login_cookie;
    std::string client;           // the client's address, as text
    std::string accept_encoding;  // what the client said it takes
};

struct HttpResponse {
    int status = 200;
    std::string body;
    std::string content_type = "text/html; charset=utf-8";
    std::string content_encoding;                              // "gzip", or empty
    std::vector<std::pair<std::string, std::string>> headers;  // Location, Set-Cookie, ...
    bool cacheable = false;  // static files only: nothing with session data is cached
};

// Asks the privileged helper (Channel::call, or a stand-in in tests).
using Helper = std::function<Message(const Message &)>;

// The response to `r`.
HttpResponse handle(const HttpRequest &r, const Helper &helper);

// The bytes of body that a request to `path` with `method` may bring: none
// but for the forms' POSTs. The login's and logout's are a few fields; a
// confirmation and an action name up to a thousand sessions by short keys.
inline constexpr size_t kSmallForm = size_t{4} * 1024;
inline constexpr size_t kLargeForm = size_t{64} * 1024;
size_t body_limit(const std::string &method, const std::string &path);

// How often, in seconds, the overview reloads itself (30 unless set; set
// before the first page is served).
void set_refresh(int seconds);

// Headers that every response carries, whatever it is.
std::vector<std::pair<std::string, std::string>> security_headers(const HttpResponse &r);

// Splits an application/x-www-form-urlencoded body; false when it is
// broken or holds more than `max_fields` fields.
bool parse_form(std::string_view body, size_t max_fields,
                std::vector<std::pair<std::string, std::string>> &out);

}  // namespace vkweb

#endif
