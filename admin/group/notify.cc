#include "notify.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "fanout.h"
#include "far_command.h"
#include "frames.h"
#include "text.h"
#include "vkcxx.h"

namespace vkgroup {

namespace {

constexpr const char *kWall = "/opt/KELWvk/sbin/vkwall";
constexpr const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// What a far member may answer to a notice: a line of its own.
constexpr size_t kMaxNoticeAnswer = 4096;

bool plain_display(const std::string &d) {
    return !d.empty() && d.size() <= 4 &&
           std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int notice_call(int fd, const Member &m, const std::string &display, const std::string &text) {
    std::string why;
    if (m.local) {
        show_notice(display, text, why);
        return write_frame(fd, FrameType::Outcome, why) ? 0 : 1;
    }
    FarAnswer far = run_far_vkgroup(m.name, {"notify", "-x", "-d", display, base64_encode(text)},
                                    kMaxNoticeAnswer);
    if (!far.started)
        why = std::strerror(errno);
    else if (far.too_large)
        why = "answer too large";
    else if (!far.output.empty())
        why = far_trouble(far.output.substr(0, far.output.find('\n')), m.name, "a notice's answer");
    else if (vk::failed_exit_code(far.status) != 0)
        why = "the far side ended with status " + std::to_string(vk::failed_exit_code(far.status));
    return write_frame(fd, FrameType::Outcome, why) ? 0 : 1;
}

}  // namespace

std::string notice_text(std::string_view text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        unsigned cp = 0;
        size_t len = vk::utf8_at(text, i, cp);
        std::string_view piece = len == 0 ? std::string_view("?") : text.substr(i, len);
        i += len == 0 ? 1 : len;
        if (len != 0 && vk::control_character(cp) && cp != '\n') continue;
        if (out.size() + piece.size() > kMaxNotice) break;
        out.append(piece);
    }
    return out;
}

std::string base64_encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
    }
    return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t n = 0;
        int pad = 0;
        for (size_t k = 0; k < 4; ++k) {
            char c = text[i + k];
            const char *at = c == '\0' ? nullptr : std::strchr(kAlphabet, c);
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                ++pad;
                n <<= 6;
                continue;
            }
            if (!at || pad) return std::nullopt;
            n = (n << 6) | static_cast<uint32_t>(at - kAlphabet);
        }
        out += static_cast<char>((n >> 16) & 0xff);
        if (pad < 2) out += static_cast<char>((n >> 8) & 0xff);
        if (pad < 1) out += static_cast<char>(n & 0xff);
    }
    return out;
}

bool show_notice(const std::string &display, const std::string &text, std::string &why) {
    if (!plain_display(display)) {
        why = "not a display number";
        return false;
    }
    const std::string command = std::string(kWall) + " -d :" + display;
    vk::Pipe wall(command.c_str(), "w");
    if (!wall) {
        why = std::string("cannot run ") + kWall;
        return false;
    }
    // The message tool may end without reading all: that must not end us.
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    bool wrote = std::fwrite(text.data(), 1, text.size(), wall.get()) == text.size();
    int status = wall.close();
    sigaction(SIGPIPE, &old, nullptr);
    if (wrote && status == 0) return true;
    why = "the message tool could not show it on display :" + display;
    return false;
}

std::vector<Outcome> notify_sessions(const Listing &listing, const std::vector<size_t> &which,
                                     const std::string &text, const Options &opt) {
    FanoutLimits fl;
    fl.parallel = opt.parallel;
    fl.deadline = std::chrono::milliseconds(int64_t{opt.deadline_s} * 1000);
    std::vector<Call> calls;
    for (size_t i : which) {
        const Session &s = listing.sessions[i];
        const Member m = listing.members[s.member].member;
        const char *d = s.text(Field::Display);
        const std::string display = d ? d : "";
        calls.push_back(
            {m.name, [m, display, &text](int fd) { return notice_call(fd, m, display, text); }});
    }
    std::vector<CallResult> results = run_calls(calls, fl);
    std::vector<Outcome> out;
    for (const CallResult &r : results) {
        Outcome o;
        auto it = std::find_if(r.frames.begin(), r.frames.end(),
                               [](const Frame &f) { return f.type == FrameType::Outcome; });
        if (r.timed_out)
            o.message = "no answer within " + std::to_string(opt.deadline_s) + " seconds";
        else if (!r.trouble.empty())
            o.message = r.trouble;
        else if (it == r.frames.end())
            o.message = "ended without answering";
        else
            o.message = it->payload;
        o.ok = o.message.empty();
        out.push_back(std::move(o));
    }
    return out;
}

}  // namespace vkgroup
