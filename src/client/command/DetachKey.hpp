#pragma once

#include "protocol/Bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace veltro::command {

// The byte a key in caret notation sends: "^]" is 0x1d, "^?" is 0x7f; letters in either case.
// None for anything else, and for "^[", which is Escape: every arrow and function key starts
// with it, so it would detach on the first of them.
std::optional<std::uint8_t> parseDetachKey(std::string_view text);

// Finds the detach key in what the person types. Text pasted into a terminal that brackets
// pastes (ESC [200~ ... ESC [201~) may hold any byte, so a key inside a paste is passed on; the
// markers may be cut across reads.
class DetachKeyFilter {
public:
    explicit DetachKeyFilter(std::optional<std::uint8_t> key) : key_(key) {}

    // The position of the detach key in `input`, or none when it was not typed there. The bytes
    // before it go to the shell; the key itself and what follows do not.
    std::optional<std::size_t> find(ByteView input);

private:
    void follow(std::uint8_t byte);

    std::optional<std::uint8_t> key_;
    bool pasting_ = false;
    // How much of the marker that would change `pasting_` the last bytes matched.
    std::size_t matched_ = 0;
};

} // namespace veltro::command
