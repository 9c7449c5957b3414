#pragma once

#include <msgpack.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace veltro::ipc {

// What one message may hold at most. Past any of these the stream is given up.
//
// A message costs memory by what it decodes to, not only by its bytes: every element becomes a
// 24-byte object, so 64 MiB of nils would take 1.5 GiB. The count over all its arrays and maps
// keeps a message to a few MiB once decoded, while leaving room for far more than any correct
// message holds (an environment of tens of thousands of variables; a write's data is one bin).
struct DecoderLimits {
    std::size_t messageBytes = 64 * 1024 * 1024;
    std::size_t depth = 32;
    std::size_t elementsPerContainer = 65536;
    // A map's entry counts as two elements: its key and its value.
    std::size_t elementsPerMessage = 256 * 1024;
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
// before anything is allocated for it, as is one that takes the message's count of elements
// past its limit. Only a complete, framed message goes to the MessagePack parser, which
// therefore never allocates more than the limits allow, and never works long on one message.
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
    void release();

    // Bytes [start_, end_) of the capacity_ are received and not yet handed out. Left
    // uninitialised: room that no read reaches never becomes resident.
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    std::size_t scan_ = 0;
    std::size_t skip_ = 0;
    // Elements the message being framed has declared so far.
    std::uint64_t elements_ = 0;
    std::vector<std::uint64_t> remaining_;
    msgpack::zone zone_;
    bool broken_ = false;
    std::string problem_;
};

} // namespace veltro::ipc
