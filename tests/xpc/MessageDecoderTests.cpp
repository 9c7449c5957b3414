#include "xpc/MessageDecoder.hpp"

#include "protocol/TerminalInterfaces.hpp"

#include <gtest/gtest.h>

#include <sstream>

using namespace veltro;
using veltro::xpc::DecoderLimits;
using veltro::xpc::MessageDecoder;

namespace {

std::span<const std::uint8_t> span(const std::string& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

std::string wire(const EncodedMessage& message) {
    return message.head + std::string(message.tail.begin(), message.tail.end());
}

// Feeds the bytes in pieces of `step` and collects every message, as text.
std::vector<std::string> decodeInSteps(MessageDecoder& decoder, const std::string& bytes,
                                       std::size_t step) {
    std::vector<std::string> messages;
    for (std::size_t i = 0; i < bytes.size(); i += step) {
        decoder.append(span(bytes.substr(i, step)));
        msgpack::object_handle message;
        while (decoder.next(message) == MessageDecoder::Result::message) {
            std::ostringstream text;
            text << message.get();
            messages.push_back(text.str());
        }
    }
    return messages;
}

MessageDecoder::Result resultOf(MessageDecoder& decoder, const std::string& bytes) {
    decoder.append(span(bytes));
    msgpack::object_handle message;
    return decoder.next(message);
}

const UUID id = *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF");

} // namespace

TEST(MessageDecoder, MessagesCutAnywhereDecodeAsWhenSentWhole) {
    std::string stream = wire(TerminalInterfaces::encodeIdentify("tech.morvane.veltro")) +
                         wire(TerminalInterfaces::encodeOpenShell(7, id, 80, 24, "/home", "zsh",
                                                                  {{"A", "1"}, {"B", "2"}})) +
                         wire(TerminalInterfaces::encodeWrite(id, Bytes(70000, 'x'))) +
                         wire(TerminalInterfaces::encodeExited(id, -1));
    MessageDecoder whole;
    auto expected = decodeInSteps(whole, stream, stream.size());
    ASSERT_EQ(expected.size(), 4u);
    for (std::size_t step : {1, 2, 3, 7, 4096}) {
        SCOPED_TRACE(step);
        MessageDecoder decoder;
        EXPECT_EQ(decodeInSteps(decoder, stream, step), expected);
        EXPECT_EQ(decoder.pendingBytes(), 0u);
        EXPECT_FALSE(decoder.isBroken());
    }
}

TEST(MessageDecoder, StrPastTheByteLimitIsRefusedFromItsHeaderAlone) {
    MessageDecoder decoder;
    EXPECT_EQ(resultOf(decoder, std::string("\x92\xDB\x04\x00\x00\x00", 6)),
              MessageDecoder::Result::broken);
    MessageDecoder small(DecoderLimits{100, 32, 65536});
    EXPECT_EQ(resultOf(small, std::string("\xC4\x63", 2)), MessageDecoder::Result::broken);
    MessageDecoder fits(DecoderLimits{100, 32, 65536});
    EXPECT_EQ(resultOf(fits, std::string("\xC4\x62", 2)), MessageDecoder::Result::needMore);
}

TEST(MessageDecoder, MessageGrowingPastTheByteLimitIsRefusedBeforeItEnds) {
    MessageDecoder decoder(DecoderLimits{100, 32, 65536});
    // An array of 256 nils, one byte each.
    std::string bytes("\xDC\x01\x00", 3);
    bytes += std::string(97, '\xC0');
    EXPECT_EQ(resultOf(decoder, bytes), MessageDecoder::Result::needMore);
    EXPECT_EQ(resultOf(decoder, "\xC0"), MessageDecoder::Result::broken);
}

TEST(MessageDecoder, NestingDeeperThanTheLimitBreaksTheStream) {
    MessageDecoder atLimit;
    EXPECT_EQ(resultOf(atLimit, std::string(32, '\x91') + "\xC0"), MessageDecoder::Result::message);
    MessageDecoder past;
    EXPECT_EQ(resultOf(past, std::string(33, '\x91') + "\xC0"), MessageDecoder::Result::broken);
}

TEST(MessageDecoder, ContainerPastTheElementLimitIsRefusedBeforeItsElementsArrive) {
    MessageDecoder array;
    EXPECT_EQ(resultOf(array, std::string("\xDD\x00\x01\x00\x01", 5)),
              MessageDecoder::Result::broken);
    MessageDecoder map;
    EXPECT_EQ(resultOf(map, std::string("\xDF\x00\x01\x00\x01", 5)),
              MessageDecoder::Result::broken);
    MessageDecoder fits;
    EXPECT_EQ(resultOf(fits, std::string("\xDD\x00\x01\x00\x00", 5) + std::string(65536, '\xC0')),
              MessageDecoder::Result::message);
}

TEST(MessageDecoder, StreamStaysBrokenAfterABadByte) {
    MessageDecoder decoder;
    EXPECT_EQ(resultOf(decoder, "\x91\xC1"), MessageDecoder::Result::broken);
    EXPECT_FALSE(decoder.problem().empty());
    EXPECT_EQ(resultOf(decoder, "\xC0"), MessageDecoder::Result::broken);
}

TEST(MessageDecoder, ExtensionsAndScalarsOfEveryWidthAreFramed) {
    // fixext 1, ext 8 of 3 bytes, float 64, uint 64, str 8, bin 16 (empty): one array.
    std::string bytes("\x96"
                      "\xD4\x01\x02"
                      "\xC7\x03\x05\x61\x62\x63"
                      "\xCB\x00\x00\x00\x00\x00\x00\x00\x00"
                      "\xCF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"
                      "\xD9\x01\x7A"
                      "\xC5\x00\x00",
                      34);
    MessageDecoder decoder;
    auto messages = decodeInSteps(decoder, bytes + bytes, 1);
    EXPECT_EQ(messages.size(), 2u);
    EXPECT_FALSE(decoder.isBroken());
}
