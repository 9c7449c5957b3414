#include "protocol/UUID.hpp"

#include "platform/HexDigit.hpp"

#include <random>

namespace veltro {

UUID UUID::random() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    Bytes bytes;
    std::uint64_t high = generator(), low = generator();
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<std::uint8_t>(high >> (56 - 8 * i));
        bytes[i + 8] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
    }
    bytes[6] = (bytes[6] & 0x0F) | 0x40;
    bytes[8] = (bytes[8] & 0x3F) | 0x80;
    return UUID(bytes);
}

static bool isDashPosition(std::size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

std::optional<UUID> UUID::parse(std::string_view text) {
    if (text.size() != 36)
        return std::nullopt;
    Bytes bytes{};
    std::size_t next = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isDashPosition(i)) {
            if (text[i] != '-')
                return std::nullopt;
            continue;
        }
        int high = hexDigitValue(text[i]), low = hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes[next++] = static_cast<std::uint8_t>(high << 4 | low);
        ++i;
    }
    return UUID(bytes);
}

std::string UUID::string() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        text.push_back(digits[bytes_[i] >> 4]);
        text.push_back(digits[bytes_[i] & 0x0F]);
    }
    return text;
}

} // namespace veltro
