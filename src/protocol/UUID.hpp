#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace veltro {

// A 16-byte identifier in RFC 4122 byte order, compared and hashed by value.
class UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    constexpr UUID() = default;
    constexpr explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    // A fresh random (version 4) identifier.
    static UUID random();
    // Parses the canonical 36-character form, in either case.
    static std::optional<UUID> parse(std::string_view text);

    const Bytes& bytes() const { return bytes_; }
    // The canonical form in upper case, as used in logs: 8-4-4-4-12 hexadecimal digits.
    std::string string() const;

    friend bool operator==(const UUID&, const UUID&) = default;
    friend auto operator<=>(const UUID&, const UUID&) = default;

private:
    Bytes bytes_{};
};

} // namespace veltro

template <> struct std::hash<veltro::UUID> {
    std::size_t operator()(const veltro::UUID& id) const noexcept {
        std::uint64_t a = 0, b = 0;
        for (int i = 0; i < 8; ++i) {
            a = (a << 8) | id.bytes()[i];
            b = (b << 8) | id.bytes()[i + 8];
        }
        return std::hash<std::uint64_t>{}(a ^ (b * 0x9E3779B97F4A7C15ull));
    }
};
