#include "ipc/MessageDecoder.hpp"

#include "protocol/TerminalInterfaces.hpp"

#include <gtest/gtest.h>

#include <sstream>

using namespace veltro;
using veltro::ipc::DecoderLimits;
using veltro::ipc::MessageDecoder;

namespace {

std::span<const std::uint8_t> span(const std::string& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

// Feeds the bytes in pieces of `step` and collects every message, as text.
std::vector<std::string> decodeInSteps(MessageDecoder& decoder, const std::string& bytes,
                                       std::size_t step) {
    std::vector<std::string> messages;
    for (std::size_t i = 0; i < bytes.size(); i += step) {
        decoder.append(span(bytes.substr(i, step)));
        msgpack::object message;
        while (decoder.next(message) == MessageDecoder::Result::message) {
            std::ostringstream text;
            text << message;
            messages.push_back(text.str());
        }
    }
    return messages;
}

const UUID id = *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF");

} // namespace

TEST(MessageDecoder, MessagesCutAnywhereDecodeAsWhenSentWhole) {
    Bytes data(70000, 'x');
    // fixext 1, ext 8 of 3 bytes, float 64, uint 64, str 8, bin 16 (empty): one array.
    std::string widths("\x96\xD4\x01\x02\xC7\x03\x05\x61\x62\x63\xCB\x00\x00\x00\x00\x00\x00\x00"
                       "\x00\xCF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xD9\x01\x7A\xC5\x00\x00",
                       34);
    std::string stream =
        encodeNotification("identify", "tech.morvane.veltro") +
        encodeRequest(7, "openShell", id, std::int64_t{80}, std::int64_t{24}, "/home",
                      std::optional<std::string>("zsh"), Environment{{"A", "1"}, {"B", "2"}}) +
        encodeNotification("write", id, ByteView(data)) +
        encodeNotification("exited", id, std::int32_t{-1}) + widths;
    MessageDecoder whole;
    auto expected = decodeInSteps(whole, stream, stream.size());
    ASSERT_EQ(expected.size(), 5u);
    for (std::size_t step : {1, 2, 3, 7, 4096}) {
        SCOPED_TRACE(step);
        MessageDecoder decoder;
        EXPECT_EQ(decodeInSteps(decoder, stream, step), expected);
        EXPECT_EQ(decoder.pendingBytes(), 0u);
    }
}

// Each limit holds from the header that passes it, before the bytes it announces arrive. The
// count of elements over the whole message is what keeps a message that is small on the wire
// from decoding to gigabytes, yet it leaves room for the largest environment.
TEST(MessageDecoder, LimitsAreHeldFromHeadersBeforeTheBytesArrive) {
    DecoderLimits small{.messageBytes = 100};
    // An array of 256 nils, one byte each: past 100 bytes before it ends.
    std::string growing = std::string("\xDC\x01\x00", 3) + std::string(98, '\xC0');
    const std::string array65536("\xDD\x00\x01\x00\x00", 5);
    std::string wideArray = array65536 + std::string(65536, '\xC0');
    // Four arrays of 65,536 nils: each within the limit of one array, together past the
    // message's. The fourth is refused from its header.
    std::string fanOut = "\x94" + wideArray + wideArray + wideArray + array65536;
    // A map's entries count twice, key and value.
    const std::string map65536("\xDF\x00\x01\x00\x00", 5);
    std::string wideMaps = "\x92" + map65536 + std::string(2 * 65536, '\xC0') + map65536;
    Environment environment;
    for (int i = 0; i < 65536; ++i)
        environment.emplace("VARIABLE_" + std::to_string(i), "value");
    struct Case {
        std::string name;
        DecoderLimits limits;
        std::string bytes;
        MessageDecoder::Result result = MessageDecoder::Result::broken;
    };
    std::vector<Case> cases = {
        {"bin 8 past the limit", small, std::string("\xC4\x63", 2)},
        {"array growing past the limit", small, growing},
        {"nested 33 levels", {}, std::string(33, '\x91') + "\xC0"},
        {"array of 65,537", {}, std::string("\xDD\x00\x01\x00\x01", 5)},
        {"arrays of 262,144 elements in all", {}, fanOut},
        {"maps of 131,072 entries in all", {}, wideMaps},
        {"environment of 65,536 variables",
         {},
         encodeRequest(7, "openShell", id, std::int64_t{80}, std::int64_t{24}, "/home",
                       std::optional<std::string>(), environment),
         MessageDecoder::Result::message},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MessageDecoder decoder(c.limits);
        decoder.append(span(c.bytes));
        msgpack::object message;
        EXPECT_EQ(decoder.next(message), c.result);
    }
}

TEST(MessageDecoder, BufferLeftLargeByABigMessageServesTheNextOnes) {
    MessageDecoder decoder;
    Bytes big(3 * 1024 * 1024, 'b');
    msgpack::object message;
    for (const std::string& bytes :
         {encodeNotification("write", id, ByteView(big)), encodeNotification("close", id)}) {
        decoder.append(span(bytes));
        ASSERT_EQ(decoder.next(message), MessageDecoder::Result::message);
        EXPECT_EQ(message.via.array.ptr[1].as<std::string>(),
                  bytes.size() > 100 ? "write" : "close");
    }
}
