#include "protocol/TerminalInterfaces.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace veltro {

namespace {

using msgpack::type::object_type;

std::vector<WireMethod> helperMethods() {
    using enum WireType;
    using enum MessageKind;
    return {
        {"hello", request, {{"clientVersion", int64}}, {{"protocolVersion", int64}}},
        {"openShell",
         request,
         {{"id", uuid},
          {"columns", int64},
          {"rows", int64},
          {"folder", string},
          {"shell", optionalString},
          {"environment", environment}},
         {{"pid", int32}, {"error", optionalString}}},
        {"write", notification, {{"id", uuid}, {"data", bytes}}, {}},
        {"resize", notification, {{"id", uuid}, {"columns", int64}, {"rows", int64}}, {}},
        {"currentFolder", request, {{"id", uuid}}, {{"folder", optionalString}}},
        {"isBusy", request, {{"id", uuid}}, {{"busy", boolean}, {"name", optionalString}}},
        {"close", notification, {{"id", uuid}}, {}},
    };
}

std::vector<WireMethod> clientMethods() {
    using enum WireType;
    using enum MessageKind;
    return {
        {"output", notification, {{"id", uuid}, {"data", bytes}}, {}},
        {"exited", notification, {{"id", uuid}, {"status", int32}}, {}},
        {"folderChanged", notification, {{"id", uuid}, {"folder", string}}, {}},
    };
}

// Text from the wire that goes into an error message: valid UTF-8, and short.
std::string printable(std::string_view text) {
    constexpr std::size_t limit = 64;
    std::string result;
    for (std::size_t i = 0; i < text.size() && result.size() < limit; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        result += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    if (text.size() > limit)
        result += "...";
    return result;
}

std::string_view stringOf(const msgpack::object& value) {
    return {value.via.str.ptr, value.via.str.size};
}

bool fitsInt64(const msgpack::object& value) {
    if (value.type == object_type::NEGATIVE_INTEGER)
        return true;
    return value.type == object_type::POSITIVE_INTEGER &&
           value.via.u64 <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}

std::int64_t int64Of(const msgpack::object& value) {
    return value.type == object_type::NEGATIVE_INTEGER ? value.via.i64
                                                       : static_cast<std::int64_t>(value.via.u64);
}

bool fitsInt32(const msgpack::object& value) {
    if (!fitsInt64(value))
        return false;
    std::int64_t number = int64Of(value);
    return number >= std::numeric_limits<std::int32_t>::min() &&
           number <= std::numeric_limits<std::int32_t>::max();
}

bool isText(const msgpack::object& value) {
    return value.type == object_type::STR && isValidUTF8(stringOf(value));
}

bool hasNUL(std::string_view text) {
    return text.find('\0') != std::string_view::npos;
}

// Why an environment map cannot be passed on, or nothing when it can.
std::optional<std::string> environmentProblem(const msgpack::object& value) {
    if (value.type != object_type::MAP)
        return "must be a map of str to str";
    for (const auto& entry : std::span(value.via.map.ptr, value.via.map.size)) {
        if (!isText(entry.key) || !isText(entry.val))
            return "must be a map of str to str";
        std::string_view key = stringOf(entry.key);
        if (key.empty() || key.find('=') != std::string_view::npos)
            return "holds a name that is empty or contains '='";
        if (hasNUL(key) || hasNUL(stringOf(entry.val)))
            return "holds a NUL byte";
    }
    return std::nullopt;
}

std::optional<std::string> valueProblem(WireType type, const msgpack::object& value) {
    switch (type) {
    case WireType::uuid:
        if (value.type != object_type::BIN || value.via.bin.size != 16)
            return "must be a bin of 16 bytes";
        return std::nullopt;
    case WireType::int64:
        if (!fitsInt64(value))
            return "must be an integer that fits 64 bits";
        return std::nullopt;
    case WireType::int32:
        if (!fitsInt32(value))
            return "must be an integer that fits 32 bits";
        return std::nullopt;
    case WireType::boolean:
        if (value.type != object_type::BOOLEAN)
            return "must be a boolean";
        return std::nullopt;
    case WireType::optionalString:
        if (value.type == object_type::NIL)
            return std::nullopt;
        [[fallthrough]];
    case WireType::string:
        if (!isText(value))
            return type == WireType::string ? "must be a UTF-8 str" : "must be a UTF-8 str or nil";
        if (hasNUL(stringOf(value)))
            return "holds a NUL byte";
        return std::nullopt;
    case WireType::bytes:
        if (value.type != object_type::BIN)
            return "must be a bin";
        return std::nullopt;
    case WireType::environment:
        return environmentProblem(value);
    }
    return "has an unknown type";
}

UUID uuidOf(const msgpack::object& value) {
    UUID::Bytes bytes;
    std::copy_n(reinterpret_cast<const std::uint8_t*>(value.via.bin.ptr), bytes.size(),
                bytes.begin());
    return UUID(bytes);
}

Bytes bytesOf(const msgpack::object& value) {
    auto begin = reinterpret_cast<const std::uint8_t*>(value.via.bin.ptr);
    return Bytes(begin, begin + value.via.bin.size);
}

std::optional<std::string> optionalStringOf(const msgpack::object& value) {
    if (value.type == object_type::NIL)
        return std::nullopt;
    return std::string(stringOf(value));
}

Environment environmentOf(const msgpack::object& value) {
    Environment environment;
    for (const auto& entry : std::span(value.via.map.ptr, value.via.map.size))
        environment.insert_or_assign(std::string(stringOf(entry.key)),
                                     std::string(stringOf(entry.val)));
    return environment;
}

// Checked params, read by position.
class Params {
public:
    explicit Params(const msgpack::object& params) : items_(params.via.array.ptr) {}
    const msgpack::object& operator[](std::size_t i) const { return items_[i]; }

private:
    const msgpack::object* items_;
};

std::string unknownMethod(std::string_view method) {
    return "Unknown method \"" + printable(method) + "\".";
}

// Finds and checks a method of `interface` with the given kind.
std::optional<std::string> lookUp(const TerminalInterface& interface, std::string_view name,
                                  MessageKind kind, const msgpack::object& params) {
    const WireMethod* method = interface.method(name);
    if (method == nullptr)
        return unknownMethod(name);
    if (method->kind != kind) {
        return std::string(name) + (kind == MessageKind::request
                                        ? " is a notification, not a request."
                                        : " is a request, not a notification.");
    }
    return checkArguments(*method, params);
}

const TerminalInterface& helperInterface() {
    static const TerminalInterface interface = terminalHelper();
    return interface;
}

const TerminalInterface& clientInterface() {
    static const TerminalInterface interface = terminalClient();
    return interface;
}

// A growing buffer the MessagePack packer writes into.
struct Buffer {
    std::string data;
    void write(const char* bytes, std::size_t size) { data.append(bytes, size); }
};

using Packer = msgpack::packer<Buffer>;

void packUUID(Packer& packer, const UUID& id) {
    packer.pack_bin(static_cast<std::uint32_t>(id.bytes().size()));
    packer.pack_bin_body(reinterpret_cast<const char*>(id.bytes().data()),
                         static_cast<std::uint32_t>(id.bytes().size()));
}

void packString(Packer& packer, std::string_view text) {
    packer.pack_str(static_cast<std::uint32_t>(text.size()));
    packer.pack_str_body(text.data(), static_cast<std::uint32_t>(text.size()));
}

void packOptionalString(Packer& packer, const std::optional<std::string>& text) {
    if (text)
        packString(packer, *text);
    else
        packer.pack_nil();
}

// Starts a request or a notification up to the first of its `count` params.
void packStart(Packer& packer, std::optional<std::uint32_t> msgid, std::string_view method,
               std::uint32_t count) {
    if (msgid) {
        packer.pack_array(4);
        packer.pack_uint8(0);
        packer.pack_uint32(*msgid);
    } else {
        packer.pack_array(3);
        packer.pack_uint8(2);
    }
    packString(packer, method);
    packer.pack_array(count);
}

// [2, method, [id, data]] with the data left in the tail, unencoded and uncopied.
EncodedMessage encodeIDAndData(std::string_view method, const UUID& id, Bytes data) {
    if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
        std::fprintf(stderr, "A %.*s message cannot carry %zu bytes; split the data.\n",
                     static_cast<int>(method.size()), method.data(), data.size());
        std::abort();
    }
    Buffer buffer;
    Packer packer(buffer);
    packStart(packer, std::nullopt, method, 2);
    packUUID(packer, id);
    packer.pack_bin(static_cast<std::uint32_t>(data.size()));
    return {std::move(buffer.data), std::move(data)};
}

EncodedMessage encodeIDOnly(std::optional<std::uint32_t> msgid, std::string_view method,
                            const UUID& id) {
    Buffer buffer;
    Packer packer(buffer);
    packStart(packer, msgid, method, 1);
    packUUID(packer, id);
    return {std::move(buffer.data), {}};
}

} // namespace

bool operator==(const WireArgument& a, const WireArgument& b) {
    return a.name == b.name && a.type == b.type;
}

bool operator==(const WireMethod& a, const WireMethod& b) {
    return a.name == b.name && a.kind == b.kind && a.arguments == b.arguments &&
           a.result == b.result;
}

bool operator==(const TerminalInterface& a, const TerminalInterface& b) {
    return a.methods_ == b.methods_;
}

const WireMethod* TerminalInterface::method(std::string_view name) const {
    auto found = std::find_if(methods_.begin(), methods_.end(),
                              [&](const WireMethod& method) { return method.name == name; });
    return found == methods_.end() ? nullptr : &*found;
}

TerminalInterface terminalHelper() {
    return TerminalInterface(helperMethods());
}

TerminalInterface terminalClient() {
    return TerminalInterface(clientMethods());
}

bool isValidUTF8(std::string_view text) {
    auto bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t size = text.size();
    for (std::size_t i = 0; i < size;) {
        unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        std::uint32_t codePoint;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (size - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (bytes[i + k] & 0x3F);
        }
        bool overlong = (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
        bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
        if (overlong || surrogate || codePoint > 0x10FFFF)
            return false;
        i += length;
    }
    return true;
}

std::optional<std::string> checkArguments(const WireMethod& method, const msgpack::object& params) {
    std::string name(method.name);
    if (params.type != object_type::ARRAY)
        return name + ": params must be an array.";
    if (params.via.array.size != method.arguments.size()) {
        return name + ": expects " + std::to_string(method.arguments.size()) + " params, not " +
               std::to_string(params.via.array.size) + ".";
    }
    for (std::size_t i = 0; i < method.arguments.size(); ++i) {
        const WireArgument& argument = method.arguments[i];
        if (auto problem = valueProblem(argument.type, params.via.array.ptr[i]))
            return name + ": " + std::string(argument.name) + " " + *problem + ".";
    }
    return std::nullopt;
}

namespace TerminalInterfaces {

std::optional<std::string> deliverRequest(TerminalHelperProtocol& object, std::string_view method,
                                          const msgpack::object& params, ResultSink respond) {
    if (auto problem = lookUp(helperInterface(), method, MessageKind::request, params))
        return problem;
    Params p(params);
    if (method == "hello") {
        object.hello(int64Of(p[0]), [respond = std::move(respond)](std::int64_t version) {
            respond(encodeHelloResult(version));
        });
    } else if (method == "openShell") {
        object.openShell(
            uuidOf(p[0]), int64Of(p[1]), int64Of(p[2]), std::string(stringOf(p[3])),
            optionalStringOf(p[4]), environmentOf(p[5]),
            [respond = std::move(respond)](std::int32_t pid, std::optional<std::string> error) {
                respond(encodeOpenShellResult(pid, error));
            });
    } else if (method == "currentFolder") {
        object.currentFolder(uuidOf(p[0]),
                             [respond = std::move(respond)](std::optional<std::string> folder) {
                                 respond(encodeCurrentFolderResult(folder));
                             });
    } else if (method == "isBusy") {
        object.isBusy(uuidOf(p[0]),
                      [respond = std::move(respond)](bool busy, std::optional<std::string> name) {
                          respond(encodeIsBusyResult(busy, name));
                      });
    }
    return std::nullopt;
}

std::optional<std::string> deliverNotification(TerminalHelperProtocol& object,
                                               std::string_view method,
                                               const msgpack::object& params) {
    if (auto problem = lookUp(helperInterface(), method, MessageKind::notification, params))
        return problem;
    Params p(params);
    if (method == "write")
        object.write(uuidOf(p[0]), bytesOf(p[1]));
    else if (method == "resize")
        object.resize(uuidOf(p[0]), int64Of(p[1]), int64Of(p[2]));
    else if (method == "close")
        object.close(uuidOf(p[0]));
    return std::nullopt;
}

std::optional<std::string> deliverNotification(TerminalClientProtocol& object,
                                               std::string_view method,
                                               const msgpack::object& params) {
    if (auto problem = lookUp(clientInterface(), method, MessageKind::notification, params))
        return problem;
    Params p(params);
    if (method == "output")
        object.output(uuidOf(p[0]), bytesOf(p[1]));
    else if (method == "exited")
        object.exited(uuidOf(p[0]), static_cast<std::int32_t>(int64Of(p[1])));
    else if (method == "folderChanged")
        object.folderChanged(uuidOf(p[0]), std::string(stringOf(p[1])));
    return std::nullopt;
}

EncodedMessage encodeIdentify(std::string_view identifier) {
    Buffer buffer;
    Packer packer(buffer);
    packStart(packer, std::nullopt, "identify", 1);
    packString(packer, identifier);
    return {std::move(buffer.data), {}};
}

EncodedMessage encodeHello(std::uint32_t msgid, std::int64_t clientVersion) {
    Buffer buffer;
    Packer packer(buffer);
    packStart(packer, msgid, "hello", 1);
    packer.pack_int64(clientVersion);
    return {std::move(buffer.data), {}};
}

EncodedMessage encodeOpenShell(std::uint32_t msgid, const UUID& id, std::int64_t columns,
                               std::int64_t rows, std::string_view folder,
                               const std::optional<std::string>& shell,
                               const Environment& environment) {
    Buffer buffer;
    Packer packer(buffer);
    packStart(packer, msgid, "openShell", 6);
    packUUID(packer, id);
    packer.pack_int64(columns);
    packer.pack_int64(rows);
    packString(packer, folder);
    packOptionalString(packer, shell);
    packer.pack_map(static_cast<std::uint32_t>(environment.size()));
    for (const auto& [key, value] : environment) {
        packString(packer, key);
        packString(packer, value);
    }
    return {std::move(buffer.data), {}};
}

EncodedMessage encodeWrite(const UUID& id, Bytes data) {
    return encodeIDAndData("write", id, std::move(data));
}

EncodedMessage encodeResize(const UUID& id, std::int64_t columns, std::int64_t rows) {
    Buffer buffer;
    Packer packer(buffer);
    packStart(packer, std::nullopt, "resize", 3);
    packUUID(packer, id);
    packer.pack_int64(columns);
    packer.pack_int64(rows);
    return {std::move(buffer.data), {}};
}

EncodedMessage encodeCurrentFolder(std::uint32_t msgid, const UUID& id) {
    return encodeIDOnly(msgid, "currentFolder", id);
}

EncodedMessage encodeIsBusy(std::uint32_t msgid, const UUID& id) {
    return encodeIDOnly(msgid, "isBusy", id);
}

EncodedMessage encodeClose(const UUID& id) {
    return encodeIDOnly(std::nullopt, "close", id);
}

EncodedMessage encodeOutput(const UUID& id, Bytes data) {
    return encodeIDAndData("output", id, std::move(data));
}

EncodedMessage encodeExited(const UUID& id, std::int32_t status) {
    Buffer buffer;
    Packer packer(buffer);
    packStart(packer, std::nullopt, "exited", 2);
    packUUID(packer, id);
    packer.pack_int32(status);
    return {std::move(buffer.data), {}};
}

EncodedMessage encodeFolderChanged(const UUID& id, std::string_view folder) {
    Buffer buffer;
    Packer packer(buffer);
    packStart(packer, std::nullopt, "folderChanged", 2);
    packUUID(packer, id);
    packString(packer, folder);
    return {std::move(buffer.data), {}};
}

EncodedMessage encodeResponse(std::uint32_t msgid, std::string_view encodedResult) {
    Buffer buffer;
    Packer packer(buffer);
    packer.pack_array(4);
    packer.pack_uint8(1);
    packer.pack_uint32(msgid);
    packer.pack_nil();
    buffer.data.append(encodedResult);
    return {std::move(buffer.data), {}};
}

EncodedMessage encodeErrorResponse(std::uint32_t msgid, std::string_view message) {
    Buffer buffer;
    Packer packer(buffer);
    packer.pack_array(4);
    packer.pack_uint8(1);
    packer.pack_uint32(msgid);
    packString(packer, message);
    packer.pack_nil();
    return {std::move(buffer.data), {}};
}

std::string encodeHelloResult(std::int64_t protocolVersion) {
    Buffer buffer;
    Packer packer(buffer);
    packer.pack_int64(protocolVersion);
    return std::move(buffer.data);
}

std::string encodeOpenShellResult(std::int32_t pid, const std::optional<std::string>& error) {
    Buffer buffer;
    Packer packer(buffer);
    packer.pack_array(2);
    packer.pack_int32(pid);
    packOptionalString(packer, error);
    return std::move(buffer.data);
}

std::string encodeCurrentFolderResult(const std::optional<std::string>& folder) {
    Buffer buffer;
    Packer packer(buffer);
    packOptionalString(packer, folder);
    return std::move(buffer.data);
}

std::string encodeIsBusyResult(bool busy, const std::optional<std::string>& name) {
    Buffer buffer;
    Packer packer(buffer);
    packer.pack_array(2);
    if (busy)
        packer.pack_true();
    else
        packer.pack_false();
    packOptionalString(packer, name);
    return std::move(buffer.data);
}

namespace {

bool isOptionalText(const msgpack::object& value) {
    return value.type == object_type::NIL || isText(value);
}

bool isPair(const msgpack::object& value) {
    return value.type == object_type::ARRAY && value.via.array.size == 2;
}

} // namespace

std::optional<std::int64_t> decodeHelloResult(const msgpack::object& result) {
    if (!fitsInt64(result))
        return std::nullopt;
    return int64Of(result);
}

std::optional<std::pair<std::int32_t, std::optional<std::string>>>
decodeOpenShellResult(const msgpack::object& result) {
    if (!isPair(result) || !fitsInt32(result.via.array.ptr[0]) ||
        !isOptionalText(result.via.array.ptr[1]))
        return std::nullopt;
    return std::pair{static_cast<std::int32_t>(int64Of(result.via.array.ptr[0])),
                     optionalStringOf(result.via.array.ptr[1])};
}

std::optional<std::optional<std::string>> decodeCurrentFolderResult(const msgpack::object& result) {
    if (!isOptionalText(result))
        return std::nullopt;
    return optionalStringOf(result);
}

std::optional<std::pair<bool, std::optional<std::string>>>
decodeIsBusyResult(const msgpack::object& result) {
    if (!isPair(result) || result.via.array.ptr[0].type != object_type::BOOLEAN ||
        !isOptionalText(result.via.array.ptr[1]))
        return std::nullopt;
    return std::pair{result.via.array.ptr[0].via.boolean,
                     optionalStringOf(result.via.array.ptr[1])};
}

std::optional<std::string> decodeIdentify(const msgpack::object& params) {
    if (params.type != object_type::ARRAY || params.via.array.size != 1 ||
        !isText(params.via.array.ptr[0]))
        return std::nullopt;
    return std::string(stringOf(params.via.array.ptr[0]));
}

} // namespace TerminalInterfaces

} // namespace veltro
