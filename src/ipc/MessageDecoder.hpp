#pragma once

#include <msgpack.hpp>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace veltro::ipc {

// What one message may hold at most. Past any of these the stream is given up.
struct DecoderLimits {
    std::size_t messageBytes = 64 * 1024 * 1024;
    std::size_t depth = 32;
    std::size_t elements = 65536;
};

// Cuts a byte stream into MessagePack values, one message at a time.
//
// The socket is read straight into the decoder's buffer (prepare, then commit), and a decoded
// message's strs and bins point into that buffer rather than into copies; its arrays and maps
// live in one reused zone. A message therefore stays valid only until the next call of next(),
// prepare() or append().
//
// The decoder frames each message itself before MessagePack sees it: it follows the headers as
// bytes arrive, so a str or bin that would take a message past its byte limit is refused from
// its header, before its bytes are buffered, and a container is refused for its declared size
// before anything is allocated for it. Only a complete, framed message goes to the MessagePack
// parser, which therefore never allocates more than the message's own bytes can describe.
//
// Once broken (bytes that are not MessagePack or a message past a limit), the decoder stays
// broken: a stream cannot be resynchronised after a framing error.
class MessageDecoder {
public:
    enum class Result { message, needMore, broken };

    explicit MessageDecoder(DecoderLimits limits = {});

    // Room for at least `size` more bytes after those received; what is written there counts
    // once committed.
    std::span<std::uint8_t> prepare(std::size_t size);
    void commit(std::size_t size);
    void append(std::span<const std::uint8_t> bytes);

    // Takes the next complete message, if there is one.
    Result next(msgpack::object& message);

    bool isBroken() const { return broken_; }
    // Why the stream was given up.
    const std::string& problem() const { return problem_; }

    // Bytes received but not yet handed out as messages.
    std::size_t pendingBytes() const { return end_ - start_; }

private:
    enum class Step { element, more, incomplete, broken };

    bool scan();
    Step scanHeader();
    bool completeElement();
    Step breakWith(std::string problem);

    DecoderLimits limits_;
    // Sized to its capacity; bytes [start_, end_) are received and not yet handed out.
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    std::size_t scan_ = 0;
    std::size_t skip_ = 0;
    std::vector<std::uint64_t> remaining_;
    msgpack::zone zone_;
    bool broken_ = false;
    std::string problem_;
};

} // namespace veltro::ipc
