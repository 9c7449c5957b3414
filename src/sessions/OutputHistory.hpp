#pragma once

#include "protocol/Bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltro {

// The most recent output of a shell, numbered from its first byte: the last `capacity` bytes
// produced, in a ring. Memory grows with the output up to the capacity and never beyond, so a
// quiet shell costs little; once the ring has its full size, appending allocates nothing.
class OutputHistory {
public:
    // Replay sends no larger pieces, so one piece never holds a connection's queue for long.
    static constexpr std::size_t segmentLimit = 64 * 1024;

    explicit OutputHistory(std::size_t capacity) : capacity_(capacity) {}

    // Copies `data` in; what no longer fits falls out at the old end.
    void append(ByteView data);

    // The offset of the next byte to be produced.
    std::int64_t produced() const { return produced_; }
    // The offset of the oldest byte kept; produced() when none is.
    std::int64_t oldest() const;
    std::size_t capacity() const { return capacity_; }

    // The kept bytes from `offset` on, as far as they lie together in the ring and at most
    // segmentLimit of them; empty at produced(). `offset` lies between oldest() and produced().
    // Valid until the next append.
    ByteView segment(std::int64_t offset) const;

private:
    std::size_t positionOf(std::int64_t offset) const {
        return static_cast<std::size_t>(offset % static_cast<std::int64_t>(capacity_));
    }
    void grow(std::size_t needed);

    std::size_t capacity_;
    // The byte of offset o lies at o % capacity_; until the ring has its full size, every offset
    // produced is below its size.
    std::vector<std::uint8_t> ring_;
    std::int64_t produced_ = 0;
};

} // namespace veltro
