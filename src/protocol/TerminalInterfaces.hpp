#pragma once

#include "platform/UTF8.hpp"
#include "protocol/Bytes.hpp"
#include "protocol/TerminalClientProtocol.hpp"
#include "protocol/TerminalHelperProtocol.hpp"
#include "protocol/UUID.hpp"

#include <msgpack.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltro {

// How one value travels. Only the optional types take nil. `shellOptions` is openShell's map
// of options (nil or missing: none), `keptShells` list's array of maps, `commands` the array of
// maps `commands` answers.
enum class WireType {
    uuid,
    int64,
    optionalInt64,
    int32,
    boolean,
    string,
    optionalString,
    bytes,
    environment,
    shellOptions,
    keptShells,
    commands
};

enum class MessageKind { request, notification };

// Which side receives a method: the agent (from the client) or the client (from the agent).
enum class Direction { toAgent, toClient };

// An `optional` value may be left out, and so may every one after it: a later version's params
// follow the older ones.
struct WireValue {
    std::string_view name;
    WireType type;
    bool optional = false;
};

// Values already checked against their types, read by position: a message's params, or a
// response's result. They point into the decoded message.
class WireValues {
public:
    WireValues(const msgpack::object* items, std::size_t count) : items_(items), count_(count) {}

    std::size_t size() const { return count_; }
    UUID uuid(std::size_t index) const;
    std::int64_t int64(std::size_t index) const;
    std::optional<std::int64_t> optionalInt64(std::size_t index) const;
    std::int32_t int32(std::size_t index) const;
    bool boolean(std::size_t index) const;
    std::string string(std::size_t index) const;
    std::optional<std::string> optionalString(std::size_t index) const;
    ByteView bytes(std::size_t index) const;
    Environment environment(std::size_t index) const;
    // The defaults when the value was left out or is nil.
    ShellOptions shellOptions(std::size_t index) const;
    std::vector<KeptShellInfo> keptShells(std::size_t index) const;
    std::vector<CommandInfo> commands(std::size_t index) const;

private:
    const msgpack::object* items_;
    std::size_t count_;
};

// Sends a request's result, already encoded as one MessagePack value.
using ResultSink = std::function<void(std::string encodedResult)>;

// One method of the contract. A request's `result` lists what its response carries: a single
// value as itself, several as an array. The receiving side carries a method out through
// `toHelper` or `toClient`; the messages a connection handles itself (identify, error,
// closing) have neither.
struct WireMethod {
    std::string_view name;
    Direction direction;
    MessageKind kind;
    std::vector<WireValue> arguments;
    std::vector<WireValue> result;
    void (*toHelper)(TerminalHelperProtocol& object, const WireValues& arguments,
                     ResultSink reply) = nullptr;
    void (*toClient)(TerminalClientProtocol& object, const WireValues& arguments) = nullptr;
};

// The whole contract: every method either side may send.
const std::vector<WireMethod>& wireMethods();

// The method that the receiving side of `direction` knows by `name`, or none.
const WireMethod* findMethod(Direction direction, std::string_view name);

// Looks up a received message and checks its params. Answers the method, or none with
// `problem` naming the method and what is wrong: an unknown method, one of the other kind, or
// params that do not match (including the values no correct peer sends: NUL bytes in strings,
// environment names that are empty or hold '=').
const WireMethod* checkedMethod(Direction direction, MessageKind kind, std::string_view name,
                                const msgpack::object& params, std::string& problem);

// A response's result read by the request's result types, or none when it does not match.
std::optional<WireValues> checkedResult(const WireMethod& method, const msgpack::object& result);

// The largest msgid a request may carry.
constexpr std::uint64_t maximumMessageID = 0xFFFFFFFFu;

namespace wire {

// Collects what the packer writes.
struct StringStream {
    std::string data;
    void write(const char* bytes, std::size_t size) { data.append(bytes, size); }
};

using Packer = msgpack::packer<StringStream>;

void pack(Packer& packer, const UUID& id);
void pack(Packer& packer, std::int64_t value);
void pack(Packer& packer, std::int32_t value);
void pack(Packer& packer, bool value);
void pack(Packer& packer, std::string_view text);
void pack(Packer& packer, const char* text);
void pack(Packer& packer, const std::string& text);
void pack(Packer& packer, const std::optional<std::string>& text);
void pack(Packer& packer, const Environment& environment);
void pack(Packer& packer, ByteView data);
void pack(Packer& packer, const std::optional<std::int64_t>& value);
// Only the options that differ from their defaults, so a shell without any sends an empty map.
void pack(Packer& packer, const ShellOptions& options);
void pack(Packer& packer, const KeptShellInfo& shell);
void pack(Packer& packer, const std::vector<KeptShellInfo>& shells);
void pack(Packer& packer, const std::vector<CommandInfo>& commands);

template <class... Values> void packArray(Packer& packer, const Values&... values) {
    packer.pack_array(sizeof...(Values));
    (wire::pack(packer, values), ...);
}

} // namespace wire

// Messages, with their values packed by C++ type in the order of the method's table entry.
template <class... Values>
std::string encodeRequest(std::uint32_t msgid, std::string_view method, const Values&... values) {
    wire::StringStream stream;
    wire::Packer packer(stream);
    packer.pack_array(4);
    packer.pack_uint8(0);
    packer.pack_uint32(msgid);
    wire::pack(packer, method);
    wire::packArray(packer, values...);
    return std::move(stream.data);
}

template <class... Values>
std::string encodeNotification(std::string_view method, const Values&... values) {
    wire::StringStream stream;
    wire::Packer packer(stream);
    packer.pack_array(3);
    packer.pack_uint8(2);
    wire::pack(packer, method);
    wire::packArray(packer, values...);
    return std::move(stream.data);
}

// A request's result: one value as itself, several as an array.
template <class... Values> std::string encodeResult(const Values&... values) {
    wire::StringStream stream;
    wire::Packer packer(stream);
    if constexpr (sizeof...(Values) == 1)
        (wire::pack(packer, values), ...);
    else
        wire::packArray(packer, values...);
    return std::move(stream.data);
}

std::string encodeResponse(std::uint32_t msgid, std::string_view encodedResult);
std::string encodeErrorResponse(std::uint32_t msgid, std::string_view message);

// The start of a `[2, method, [id, data]]` notification, up to the header of its bin: the
// data's bytes follow on the wire straight from where they lie. Kept inline, so sending a
// chunk allocates nothing for it.
struct MessageHead {
    std::array<std::uint8_t, 48> bytes{};
    std::size_t size = 0;

    ByteView view() const { return {bytes.data(), size}; }
};

MessageHead encodeDataHead(std::string_view method, const UUID& id, std::size_t dataSize);

} // namespace veltro
