#include "sessions/OutputHistory.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace veltro;

namespace {

ByteView viewOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Everything kept from `offset` on, read segment by segment as a replay reads it.
std::string readFrom(const OutputHistory& history, std::int64_t offset) {
    std::string text;
    for (ByteView segment = history.segment(offset); !segment.empty();
         segment = history.segment(offset)) {
        EXPECT_LE(segment.size(), OutputHistory::segmentLimit);
        text.append(segment.begin(), segment.end());
        offset += static_cast<std::int64_t>(segment.size());
    }
    return text;
}

} // namespace

TEST(OutputHistory, KeepsExactlyTheNewestBytesAcrossWrapsAndOversizedChunks) {
    for (std::size_t capacity :
         {std::size_t(0), std::size_t(1), std::size_t(1000), std::size_t(200 * 1024)}) {
        SCOPED_TRACE(capacity);
        OutputHistory history(capacity);
        std::string all;
        // Chunks of awkward sizes, one larger than the whole ring.
        for (std::size_t size : {7u, 999u, 1u, 70000u, 300000u, 13u, 65536u}) {
            std::string chunk;
            for (std::size_t i = 0; i < size; ++i)
                chunk.push_back(static_cast<char>('a' + (all.size() + i) % 26));
            history.append(viewOf(chunk));
            all += chunk;
            std::size_t kept = std::min(capacity, all.size());
            EXPECT_EQ(history.produced(), std::int64_t(all.size()));
            EXPECT_EQ(history.oldest(), std::int64_t(all.size() - kept));
            EXPECT_EQ(readFrom(history, history.oldest()), all.substr(all.size() - kept));
        }
        EXPECT_EQ(readFrom(history, history.produced()), "");
    }
}
