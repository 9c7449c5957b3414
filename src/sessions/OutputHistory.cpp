#include "sessions/OutputHistory.hpp"

#include <algorithm>
#include <cstring>

namespace veltro {

namespace {

// The first allocation of a ring that is used at all: enough for a screen or two of output.
constexpr std::size_t initialSize = 16 * 1024;

} // namespace

std::int64_t OutputHistory::oldest() const {
    return std::max<std::int64_t>(0, produced_ - static_cast<std::int64_t>(capacity_));
}

// Doubles rather than fitting each chunk, so a busy shell reallocates a handful of times in all.
void OutputHistory::grow(std::size_t needed) {
    if (needed <= ring_.size())
        return;
    std::size_t size = std::max({needed, ring_.size() * 2, initialSize});
    ring_.resize(std::min(size, capacity_));
}

void OutputHistory::append(ByteView data) {
    std::int64_t start = produced_ + static_cast<std::int64_t>(data.size());
    produced_ = start;
    if (capacity_ == 0 || data.empty())
        return;
    if (data.size() > capacity_)
        data = data.last(capacity_);
    start -= static_cast<std::int64_t>(data.size());
    if (ring_.size() < capacity_)
        grow(static_cast<std::size_t>(
            std::min<std::int64_t>(produced_, static_cast<std::int64_t>(capacity_))));
    std::size_t position = positionOf(start);
    std::size_t first = std::min(data.size(), capacity_ - position);
    std::memcpy(ring_.data() + position, data.data(), first);
    std::memcpy(ring_.data(), data.data() + first, data.size() - first);
}

ByteView OutputHistory::segment(std::int64_t offset) const {
    if (capacity_ == 0 || offset >= produced_)
        return {};
    std::size_t position = positionOf(offset);
    std::size_t size = std::min(
        {static_cast<std::size_t>(produced_ - offset), capacity_ - position, segmentLimit});
    return {ring_.data() + position, size};
}

} // namespace veltro
