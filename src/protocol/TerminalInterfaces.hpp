#pragma once

#include "protocol/Bytes.hpp"
#include "protocol/TerminalClientProtocol.hpp"
#include "protocol/TerminalHelperProtocol.hpp"
#include "protocol/UUID.hpp"

#include <msgpack.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltro {

// How one argument travels. Every type but optionalString refuses nil.
enum class WireType { uuid, int64, int32, boolean, string, optionalString, bytes, environment };

enum class MessageKind { request, notification };

struct WireArgument {
    std::string_view name;
    WireType type;
};

struct WireMethod {
    std::string_view name;
    MessageKind kind;
    std::vector<WireArgument> arguments;
    // What the response's result holds: one value, or an array of these when there are several.
    std::vector<WireArgument> result;
};

// The methods one side may call on the other, by their wire names.
class TerminalInterface {
public:
    explicit TerminalInterface(std::vector<WireMethod> methods) : methods_(std::move(methods)) {}

    const std::vector<WireMethod>& methods() const { return methods_; }
    const WireMethod* method(std::string_view name) const;

    friend bool operator==(const TerminalInterface&, const TerminalInterface&);

private:
    std::vector<WireMethod> methods_;
};

bool operator==(const WireArgument&, const WireArgument&);
bool operator==(const WireMethod&, const WireMethod&);

// What the client may call on the agent, and what the agent may call on the client. Each call
// builds a new description.
TerminalInterface terminalHelper();
TerminalInterface terminalClient();

// One outgoing message: `head` is complete MessagePack except for `tail`, raw bytes that follow it
// on the wire (the body of the last bin). Keeping terminal data apart lets it be written straight
// from the buffer it was read into.
struct EncodedMessage {
    std::string head;
    Bytes tail;

    std::size_t size() const { return head.size() + tail.size(); }
};

// Whether the bytes are well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF).
bool isValidUTF8(std::string_view text);

// Checks a message's params against a method's arguments. Answers the message that names the
// method and what is wrong, or nothing when they match, including the values no correct client
// sends (NUL bytes in paths or the environment, environment names that are empty or hold '=').
std::optional<std::string> checkArguments(const WireMethod& method, const msgpack::object& params);

namespace TerminalInterfaces {

// The largest msgid a request may carry.
constexpr std::uint64_t maximumMessageID = 0xFFFFFFFFu;

// Sends a request's result, already encoded as one MessagePack value.
using ResultSink = std::function<void(std::string encodedResult)>;

// Decodes a message for the exported object and calls it. When the method is unknown or the
// params do not match, answers the error message (naming the method) and calls nothing.
std::optional<std::string> deliverRequest(TerminalHelperProtocol& object, std::string_view method,
                                          const msgpack::object& params, ResultSink respond);
std::optional<std::string> deliverNotification(TerminalHelperProtocol& object,
                                               std::string_view method,
                                               const msgpack::object& params);
std::optional<std::string> deliverNotification(TerminalClientProtocol& object,
                                               std::string_view method,
                                               const msgpack::object& params);

// Client to agent.
EncodedMessage encodeIdentify(std::string_view identifier);
EncodedMessage encodeHello(std::uint32_t msgid, std::int64_t clientVersion);
EncodedMessage encodeOpenShell(std::uint32_t msgid, const UUID& id, std::int64_t columns,
                               std::int64_t rows, std::string_view folder,
                               const std::optional<std::string>& shell,
                               const Environment& environment);
EncodedMessage encodeWrite(const UUID& id, Bytes data);
EncodedMessage encodeResize(const UUID& id, std::int64_t columns, std::int64_t rows);
EncodedMessage encodeCurrentFolder(std::uint32_t msgid, const UUID& id);
EncodedMessage encodeIsBusy(std::uint32_t msgid, const UUID& id);
EncodedMessage encodeClose(const UUID& id);

// Agent to client.
EncodedMessage encodeOutput(const UUID& id, Bytes data);
EncodedMessage encodeExited(const UUID& id, std::int32_t status);
EncodedMessage encodeFolderChanged(const UUID& id, std::string_view folder);
EncodedMessage encodeResponse(std::uint32_t msgid, std::string_view encodedResult);
EncodedMessage encodeErrorResponse(std::uint32_t msgid, std::string_view message);

// Results as the agent encodes them and the client decodes them; decoding answers nothing when
// the result does not have the method's result type.
std::string encodeHelloResult(std::int64_t protocolVersion);
std::string encodeOpenShellResult(std::int32_t pid, const std::optional<std::string>& error);
std::string encodeCurrentFolderResult(const std::optional<std::string>& folder);
std::string encodeIsBusyResult(bool busy, const std::optional<std::string>& name);

std::optional<std::int64_t> decodeHelloResult(const msgpack::object& result);
std::optional<std::pair<std::int32_t, std::optional<std::string>>>
decodeOpenShellResult(const msgpack::object& result);
std::optional<std::optional<std::string>> decodeCurrentFolderResult(const msgpack::object& result);
std::optional<std::pair<bool, std::optional<std::string>>>
decodeIsBusyResult(const msgpack::object& result);

// The identifier of an `identify` notification, when its params are exactly one str.
std::optional<std::string> decodeIdentify(const msgpack::object& params);

} // namespace TerminalInterfaces

} // namespace veltro
