#include "ipc/MessageDecoder.hpp"

#include <algorithm>

namespace veltro::ipc {

namespace {

std::uint64_t bigEndian(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// How one header looks: its size, and what follows it.
struct Header {
    enum class Kind { scalar, array, map, payload, invalid };
    Kind kind = Kind::invalid;
    std::size_t size = 1;
    // Where the count or length sits inside the header, and how wide it is.
    std::size_t lengthOffset = 1;
    std::size_t lengthSize = 0;
    std::uint64_t inlineValue = 0;
};

Header headerOf(std::uint8_t lead) {
    using enum Header::Kind;
    if (lead <= 0x7F || lead >= 0xE0)
        return {scalar, 1};
    if (lead <= 0x8F)
        return {map, 1, 1, 0, lead & 0x0Fu};
    if (lead <= 0x9F)
        return {array, 1, 1, 0, lead & 0x0Fu};
    if (lead <= 0xBF)
        return {payload, 1, 1, 0, lead & 0x1Fu};
    switch (lead) {
    case 0xC0:
    case 0xC2:
    case 0xC3:
        return {scalar, 1};
    case 0xC4:
        return {payload, 2, 1, 1};
    case 0xC5:
        return {payload, 3, 1, 2};
    case 0xC6:
        return {payload, 5, 1, 4};
    // An ext's header ends with its type byte.
    case 0xC7:
        return {payload, 3, 1, 1};
    case 0xC8:
        return {payload, 4, 1, 2};
    case 0xC9:
        return {payload, 6, 1, 4};
    case 0xCA:
        return {scalar, 5};
    case 0xCB:
        return {scalar, 9};
    case 0xCC:
    case 0xD0:
        return {scalar, 2};
    case 0xCD:
    case 0xD1:
        return {scalar, 3};
    case 0xCE:
    case 0xD2:
        return {scalar, 5};
    case 0xCF:
    case 0xD3:
        return {scalar, 9};
    case 0xD4:
        return {scalar, 3};
    case 0xD5:
        return {scalar, 4};
    case 0xD6:
        return {scalar, 6};
    case 0xD7:
        return {scalar, 10};
    case 0xD8:
        return {scalar, 18};
    case 0xD9:
        return {payload, 2, 1, 1};
    case 0xDA:
        return {payload, 3, 1, 2};
    case 0xDB:
        return {payload, 5, 1, 4};
    case 0xDC:
        return {array, 3, 1, 2};
    case 0xDD:
        return {array, 5, 1, 4};
    case 0xDE:
        return {map, 3, 1, 2};
    case 0xDF:
        return {map, 5, 1, 4};
    default:
        return {invalid, 1};
    }
}

// Reads take this much room at least; a buffer left far larger by one big message is given back
// once it has been handed out.
constexpr std::size_t initialCapacity = 64 * 1024;
constexpr std::size_t keptCapacity = 1024 * 1024;

// Strs and bins are read in place, never copied into the zone.
bool referenceInPlace(msgpack::type::object_type, std::size_t, void*) {
    return true;
}

} // namespace

MessageDecoder::MessageDecoder(DecoderLimits limits) : limits_(limits) {}

void MessageDecoder::release() {
    buffer_.reset();
    capacity_ = 0;
}

std::span<std::uint8_t> MessageDecoder::prepare(std::size_t size) {
    if (start_ == end_) {
        start_ = end_ = scan_ = 0;
        if (capacity_ > keptCapacity)
            release();
    }
    if (start_ > 0 && capacity_ - end_ < size) {
        // Move the message in progress to the front; earlier messages are handed out.
        std::copy(buffer_.get() + start_, buffer_.get() + end_, buffer_.get());
        end_ -= start_;
        scan_ -= start_;
        start_ = 0;
    }
    if (capacity_ - end_ < size) {
        // A str or bin whose header has been read says how much more must fit; beyond that the
        // buffer doubles, but never past what one message and one read can need.
        std::size_t needed = end_ + std::max(size, skip_);
        std::size_t grown = std::min(2 * capacity_, limits_.messageBytes + size);
        std::size_t capacity = std::max({initialCapacity, needed, grown});
        auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
        std::copy(buffer_.get() + start_, buffer_.get() + end_, buffer.get());
        buffer_ = std::move(buffer);
        capacity_ = capacity;
    }
    return {buffer_.get() + end_, capacity_ - end_};
}

void MessageDecoder::commit(std::size_t size) {
    end_ += std::min(size, capacity_ - end_);
}

void MessageDecoder::append(std::span<const std::uint8_t> bytes) {
    if (broken_)
        return;
    std::span<std::uint8_t> room = prepare(bytes.size());
    std::copy(bytes.begin(), bytes.end(), room.begin());
    commit(bytes.size());
}

MessageDecoder::Step MessageDecoder::breakWith(std::string problem) {
    broken_ = true;
    problem_ = std::move(problem);
    release();
    start_ = end_ = scan_ = skip_ = 0;
    elements_ = 0;
    remaining_.clear();
    return Step::broken;
}

bool MessageDecoder::completeElement() {
    while (!remaining_.empty()) {
        if (--remaining_.back() > 0)
            return false;
        remaining_.pop_back();
    }
    return true;
}

MessageDecoder::Step MessageDecoder::scanHeader() {
    std::size_t available = end_ - scan_;
    const std::uint8_t* bytes = buffer_.get() + scan_;
    Header header = headerOf(bytes[0]);
    if (header.kind == Header::Kind::invalid)
        return breakWith("The stream holds a byte that is not MessagePack.");
    if (available < header.size)
        return Step::incomplete;
    std::uint64_t length = header.lengthSize > 0
                               ? bigEndian(bytes + header.lengthOffset, header.lengthSize)
                               : header.inlineValue;
    scan_ += header.size;
    switch (header.kind) {
    case Header::Kind::scalar:
        return Step::element;
    case Header::Kind::array:
    case Header::Kind::map:
        if (length > limits_.elementsPerContainer)
            return breakWith("A message holds an array or map of more than " +
                             std::to_string(limits_.elementsPerContainer) + " elements.");
        if (header.kind == Header::Kind::map)
            length *= 2;
        elements_ += length;
        if (elements_ > limits_.elementsPerMessage)
            return breakWith("A message holds more than " +
                             std::to_string(limits_.elementsPerMessage) +
                             " elements in all its arrays and maps.");
        if (length == 0)
            return Step::element;
        if (remaining_.size() >= limits_.depth)
            return breakWith("A message is nested deeper than " + std::to_string(limits_.depth) +
                             " levels.");
        remaining_.push_back(length);
        return Step::more;
    case Header::Kind::payload:
        if (scan_ - start_ + length > limits_.messageBytes)
            return breakWith("A message is larger than " + std::to_string(limits_.messageBytes) +
                             " bytes.");
        skip_ = static_cast<std::size_t>(length);
        return skip_ == 0 ? Step::element : Step::more;
    case Header::Kind::invalid:
        break;
    }
    return Step::broken;
}

bool MessageDecoder::scan() {
    while (!broken_) {
        if (skip_ > 0) {
            std::size_t take = std::min(skip_, end_ - scan_);
            scan_ += take;
            skip_ -= take;
            if (skip_ > 0)
                return false;
            if (completeElement())
                return true;
            continue;
        }
        if (scan_ == end_)
            return false;
        switch (scanHeader()) {
        case Step::element:
            if (completeElement())
                return true;
            break;
        case Step::more:
            break;
        case Step::incomplete:
        case Step::broken:
            return false;
        }
    }
    return false;
}

MessageDecoder::Result MessageDecoder::next(msgpack::object& message) {
    zone_.clear();
    if (broken_)
        return Result::broken;
    bool complete = scan();
    if (broken_)
        return Result::broken;
    if (scan_ - start_ > limits_.messageBytes) {
        breakWith("A message is larger than " + std::to_string(limits_.messageBytes) + " bytes.");
        return Result::broken;
    }
    if (!complete)
        return Result::needMore;
    elements_ = 0;
    // The framing above already holds the message to the limits; these only keep the parser
    // from refusing what the framing has accepted.
    msgpack::unpack_limit limit(limits_.elementsPerContainer, limits_.elementsPerContainer,
                                limits_.messageBytes, limits_.messageBytes, limits_.messageBytes,
                                limits_.depth + 1);
    try {
        std::size_t offset = 0;
        bool referenced = false;
        message =
            msgpack::unpack(zone_, reinterpret_cast<const char*>(buffer_.get() + start_),
                            scan_ - start_, offset, referenced, referenceInPlace, nullptr, limit);
    } catch (const std::exception& error) {
        breakWith(std::string("A message could not be decoded: ") + error.what());
        return Result::broken;
    }
    start_ = scan_;
    return Result::message;
}

} // namespace veltro::ipc
