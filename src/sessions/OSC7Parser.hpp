#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace veltro {

// Scans one shell's raw output for OSC 7 working-folder reports (ESC ] 7;file://host/path,
// ended by BEL or ESC \). It keeps its state between calls, so a report may be split across any
// number of chunks. It only reads the bytes; the output itself goes on unchanged.
class OSC7Parser {
public:
    // Longest payload evaluated; a longer sequence is ignored as a whole.
    static constexpr std::size_t payloadLimit = 3136;

    OSC7Parser();
    OSC7Parser(const OSC7Parser& other);
    OSC7Parser& operator=(const OSC7Parser& other);
    OSC7Parser(OSC7Parser&&) noexcept = default;
    OSC7Parser& operator=(OSC7Parser&&) noexcept = default;

    // The folders of all reports that ended inside `bytes`, in the order they ended.
    std::vector<std::string> feed(std::span<const std::uint8_t> bytes);

    // The folder named by one complete OSC payload (the bytes after ESC ]), or nothing.
    static std::optional<std::string> folder(std::span<const std::uint8_t> payload);

private:
    enum class State { text, escape, osc, oscEscape };

    void startOSC();
    void endOSC(std::vector<std::string>& folders);

    State state = State::text;
    // Reserved once for the parser's whole life and only ever cleared, so collecting a
    // sequence never allocates.
    std::vector<std::uint8_t> payload;
    bool overflowed = false;
};

} // namespace veltro
