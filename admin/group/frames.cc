#include "frames.h"

#include "vkcxx.h"

namespace vkgroup {

namespace {

bool known(char t) {
    switch (static_cast<FrameType>(t)) {
        case FrameType::Line:
        case FrameType::Warning:
        case FrameType::Failure:
        case FrameType::Done:
        case FrameType::Outcome:
            return true;
    }
    return false;
}

}  // namespace

std::string encode_frame(FrameType type, std::string_view payload) {
    std::string f;
    f.reserve(kFrameHeader + payload.size());
    f += static_cast<char>(type);
    auto n = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) f += static_cast<char>((n >> (8 * i)) & 0xff);
    f += payload;
    return f;
}

bool write_all(int fd, std::string_view bytes) {
    return vk::write_all(fd, bytes.data(), bytes.size());
}

bool write_frame(int fd, FrameType type, std::string_view payload) {
    if (payload.size() + kFrameHeader > kMaxFrame) return false;
    return write_all(fd, encode_frame(type, payload));
}

bool FrameReader::feed(const char *data, size_t n, std::vector<Frame> &out) {
    if (broken_) return false;
    seen_ += n;
    if (seen_ > max_stream_) {
        broken_ = true;
        why_ = "answer too large";
        return false;
    }
    pending_.append(data, n);
    size_t at = 0;
    while (pending_.size() - at >= kFrameHeader) {
        const char *h = pending_.data() + at;
        if (!known(h[0])) {
            broken_ = true;
            why_ = "unknown frame";
            return false;
        }
        uint32_t len = 0;
        for (int i = 0; i < 4; ++i)
            len |= static_cast<uint32_t>(static_cast<unsigned char>(h[1 + i])) << (8 * i);
        if (len > kMaxFrame - kFrameHeader) {
            broken_ = true;
            why_ = "frame longer than " + std::to_string(kMaxFrame) + " bytes";
            return false;
        }
        if (pending_.size() - at - kFrameHeader < len) break;
        out.push_back({static_cast<FrameType>(h[0]), pending_.substr(at + kFrameHeader, len)});
        at += kFrameHeader + len;
    }
    pending_.erase(0, at);
    return true;
}

}  // namespace vkgroup
