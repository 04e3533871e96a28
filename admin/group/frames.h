// What a query process reports to the process that started it: a stream of
// frames over a pipe, each a type byte, a 4-byte length (little endian)
// and that many bytes. The reader bounds every frame and the whole stream,
// so that no answer of a far side, however large, can grow the group-wide
// command past its bounds.
#ifndef VK_GROUP_FRAMES_H
#define VK_GROUP_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vkgroup {

enum class FrameType : char {
    Line = 'R',     // a session: its record line, a NUL and its registered name (or none)
    Warning = 'W',  // something to tell about the member; the answer still counts
    Failure = 'F',  // the member's answer is not to be used: why
    Done = 'D',     // the member answered; payload: its number of sessions
    Outcome = 'O',  // an action's outcome: empty for success, else why it failed
};

struct Frame {
    FrameType type;
    std::string payload;
};

// A record line may be up to 64 KiB (the library reads no longer ones); a
// registered name and the framing fit in the rest.
inline constexpr size_t kMaxFrame = size_t{80} * 1024;
inline constexpr size_t kFrameHeader = 5;

// One frame as bytes.
std::string encode_frame(FrameType type, std::string_view payload);

// Writes a frame whole to `fd`; false when it cannot (the reader is gone).
bool write_frame(int fd, FrameType type, std::string_view payload);

// Writes encoded frames whole to `fd`.
bool write_all(int fd, std::string_view bytes);

// Cuts a byte stream into frames.
class FrameReader {
  public:
    explicit FrameReader(size_t max_stream) : max_stream_(max_stream) {}

    // Takes the next bytes; complete frames are appended to `out`. False
    // once the stream is broken: an unknown type, a frame over kMaxFrame,
    // or more than max_stream bytes in all ("answer too large"). A broken
    // stream stays broken.
    bool feed(const char *data, size_t n, std::vector<Frame> &out);

    // True when the stream so far ends at a frame boundary.
    bool complete() const { return pending_.empty() && !broken_; }
    bool broken() const { return broken_; }
    const std::string &why() const { return why_; }

  private:
    size_t max_stream_;
    size_t seen_ = 0;
    std::string pending_;
    bool broken_ = false;
    std::string why_;
};

}  // namespace vkgroup

#endif
