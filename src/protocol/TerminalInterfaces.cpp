#include "protocol/TerminalInterfaces.hpp"

#include "platform/StopProgram.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>

namespace veltro {

namespace {

using msgpack::type::object_type;

std::string_view textOf(const msgpack::object& value) {
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
    return value.type == object_type::STR && isValidUTF8(textOf(value));
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
        std::string_view key = textOf(entry.key);
        if (key.empty() || key.find('=') != std::string_view::npos)
            return "holds a name that is empty or contains '='";
        if (hasNUL(key) || hasNUL(textOf(entry.val)))
            return "holds a NUL byte";
    }
    return std::nullopt;
}

std::optional<std::string> valueProblem(WireType type, const msgpack::object& value);

// Why openShell's options cannot be used, as the whole text after the method's name, or
// nothing when they can. Each problem names the key, so a client can tell what this agent
// lacks.
std::optional<std::string> optionsProblem(const msgpack::object& value) {
    if (value.type == object_type::NIL)
        return std::nullopt;
    if (value.type != object_type::MAP)
        return "options must be a map";
    for (const auto& entry : std::span(value.via.map.ptr, value.via.map.size)) {
        if (!isText(entry.key))
            return "options must have str keys";
        std::string_view name = textOf(entry.key);
        std::string key = quotedText(name);
        if (name == "marks" || name == "integration") {
            if (entry.val.type != object_type::BOOLEAN)
                return "option \"" + key + "\" must be a boolean";
            continue;
        }
        std::int64_t maximum = 0;
        if (name == "keep")
            maximum = ShellOptions::maximumKeep;
        else if (name == "history")
            maximum = ShellOptions::maximumHistory;
        else
            return "unknown option \"" + key + "\"";
        if (!fitsInt64(entry.val))
            return "option \"" + key + "\" must be an integer";
        std::int64_t number = int64Of(entry.val);
        if (number < 0 || number > maximum)
            return "option \"" + key + "\" must be between 0 and " + std::to_string(maximum);
    }
    return std::nullopt;
}

// The keys of list's maps and how their values travel.
struct ShellInfoKey {
    std::string_view name;
    WireType type;
};

constexpr std::array<ShellInfoKey, 12> shellInfoKeys{{
    {"id", WireType::uuid},
    {"pid", WireType::int32},
    {"attached", WireType::boolean},
    {"exited", WireType::boolean},
    {"oldest", WireType::int64},
    {"produced", WireType::int64},
    {"columns", WireType::int64},
    {"rows", WireType::int64},
    {"folder", WireType::optionalString},
    {"program", WireType::optionalString},
    {"keep", WireType::int64},
    {"left", WireType::optionalInt64},
}};

// The position of a key in shellInfoKeys, or none for a key of a later version.
std::optional<std::size_t> shellInfoKeyIndex(const msgpack::object& key) {
    if (key.type != object_type::STR)
        return std::nullopt;
    for (std::size_t i = 0; i < shellInfoKeys.size(); ++i)
        if (shellInfoKeys[i].name == textOf(key))
            return i;
    return std::nullopt;
}

// Every known key must be there with a value of its type; keys of later versions are skipped.
std::optional<std::string> keptShellsProblem(const msgpack::object& value) {
    if (value.type != object_type::ARRAY)
        return "must be an array of maps";
    for (const auto& shell : std::span(value.via.array.ptr, value.via.array.size)) {
        if (shell.type != object_type::MAP)
            return "must be an array of maps";
        std::array<bool, shellInfoKeys.size()> seen{};
        for (const auto& entry : std::span(shell.via.map.ptr, shell.via.map.size)) {
            auto index = shellInfoKeyIndex(entry.key);
            if (!index)
                continue;
            if (auto problem = valueProblem(shellInfoKeys[*index].type, entry.val))
                return "has a \"" + std::string(shellInfoKeys[*index].name) + "\" that " + *problem;
            seen[*index] = true;
        }
        for (std::size_t i = 0; i < seen.size(); ++i)
            if (!seen[i])
                return "lacks \"" + std::string(shellInfoKeys[i].name) + "\"";
    }
    return std::nullopt;
}

// The keys of the maps `commands` answers; every value may be nil.
constexpr std::array<ShellInfoKey, 5> commandKeys{{
    {"commandLine", WireType::optionalString},
    {"started", WireType::optionalInt64},
    {"finished", WireType::optionalInt64},
    {"exitCode", WireType::optionalInt64},
    {"milliseconds", WireType::optionalInt64},
}};

std::optional<std::size_t> commandKeyIndex(const msgpack::object& key) {
    if (key.type != object_type::STR)
        return std::nullopt;
    for (std::size_t i = 0; i < commandKeys.size(); ++i)
        if (commandKeys[i].name == textOf(key))
            return i;
    return std::nullopt;
}

// A key left out reads as nil; keys of later versions are skipped.
std::optional<std::string> commandsProblem(const msgpack::object& value) {
    if (value.type != object_type::ARRAY)
        return "must be an array of maps";
    for (const auto& command : std::span(value.via.array.ptr, value.via.array.size)) {
        if (command.type != object_type::MAP)
            return "must be an array of maps";
        for (const auto& entry : std::span(command.via.map.ptr, command.via.map.size)) {
            auto index = commandKeyIndex(entry.key);
            if (!index)
                continue;
            if (auto problem = valueProblem(commandKeys[*index].type, entry.val))
                return "has a \"" + std::string(commandKeys[*index].name) + "\" that " + *problem;
        }
    }
    return std::nullopt;
}

std::optional<std::string> valueProblem(WireType type, const msgpack::object& value) {
    switch (type) {
    case WireType::uuid:
        if (value.type != object_type::BIN || value.via.bin.size != 16)
            return "must be a bin of 16 bytes";
        return std::nullopt;
    case WireType::optionalInt64:
        if (value.type == object_type::NIL)
            return std::nullopt;
        if (!fitsInt64(value))
            return "must be an integer that fits 64 bits, or nil";
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
        if (hasNUL(textOf(value)))
            return "holds a NUL byte";
        return std::nullopt;
    case WireType::bytes:
        if (value.type != object_type::BIN)
            return "must be a bin";
        return std::nullopt;
    case WireType::environment:
        return environmentProblem(value);
    case WireType::shellOptions:
        return optionsProblem(value);
    case WireType::keptShells:
        return keptShellsProblem(value);
    case WireType::commands:
        return commandsProblem(value);
    }
    return "has an unknown type";
}

// The problem of the first value that does not match its type, naming the method and value.
std::optional<std::string> valuesProblem(std::string_view method,
                                         const std::vector<WireValue>& expected,
                                         const msgpack::object* items, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        auto problem = valueProblem(expected[i].type, items[i]);
        if (!problem)
            continue;
        // The options' problems name the key, which says more than the param's name.
        if (expected[i].type == WireType::shellOptions)
            return std::string(method) + ": " + *problem + ".";
        return std::string(method) + ": " + std::string(expected[i].name) + " " + *problem + ".";
    }
    return std::nullopt;
}

// How many params a method takes at least: those up to its last one that is not optional.
std::size_t requiredCount(const std::vector<WireValue>& arguments) {
    std::size_t count = arguments.size();
    while (count > 0 && arguments[count - 1].optional)
        --count;
    return count;
}

std::vector<WireMethod> makeWireMethods() {
    using enum WireType;
    using enum MessageKind;
    using enum Direction;
    using Helper = TerminalHelperProtocol;
    using Client = TerminalClientProtocol;
    using Values = const WireValues&;
    return {
        {"identify", toAgent, notification, {{"identifier", string}}, {}},
        {"hello",
         toAgent,
         request,
         {{"clientVersion", int64}},
         {{"protocolVersion", int64}},
         [](Helper& object, Values a, ResultSink reply) {
             object.hello(a.int64(0), [reply = std::move(reply)](std::int64_t version) {
                 reply(encodeResult(version));
             });
         }},
        {"openShell",
         toAgent,
         request,
         {{"id", uuid},
          {"columns", int64},
          {"rows", int64},
          {"folder", string},
          {"shell", optionalString},
          {"environment", environment},
          {"options", shellOptions, true}},
         {{"pid", int32}, {"error", optionalString}},
         [](Helper& object, Values a, ResultSink reply) {
             object.openShell(
                 a.uuid(0), a.int64(1), a.int64(2), a.string(3), a.optionalString(4),
                 a.environment(5), a.shellOptions(6),
                 [reply = std::move(reply)](std::int32_t pid, std::optional<std::string> error) {
                     reply(encodeResult(pid, error));
                 });
         }},
        {"write",
         toAgent,
         notification,
         {{"id", uuid}, {"data", bytes}},
         {},
         [](Helper& object, Values a, ResultSink) {
             ByteView data = a.bytes(1);
             object.write(a.uuid(0), Bytes(data.begin(), data.end()));
         }},
        {"resize",
         toAgent,
         notification,
         {{"id", uuid}, {"columns", int64}, {"rows", int64}},
         {},
         [](Helper& object, Values a, ResultSink) {
             object.resize(a.uuid(0), a.int64(1), a.int64(2));
         }},
        {"currentFolder",
         toAgent,
         request,
         {{"id", uuid}},
         {{"folder", optionalString}},
         [](Helper& object, Values a, ResultSink reply) {
             object.currentFolder(a.uuid(0),
                                  [reply = std::move(reply)](std::optional<std::string> folder) {
                                      reply(encodeResult(folder));
                                  });
         }},
        {"isBusy",
         toAgent,
         request,
         {{"id", uuid}},
         {{"busy", boolean}, {"name", optionalString}},
         [](Helper& object, Values a, ResultSink reply) {
             object.isBusy(a.uuid(0),
                           [reply = std::move(reply)](bool busy, std::optional<std::string> name) {
                               reply(encodeResult(busy, name));
                           });
         }},
        {"close",
         toAgent,
         notification,
         {{"id", uuid}},
         {},
         [](Helper& object, Values a, ResultSink) { object.close(a.uuid(0)); }},
        {"attach",
         toAgent,
         request,
         {{"id", uuid}, {"from", optionalInt64}, {"columns", int64}, {"rows", int64}},
         {{"pid", int32}, {"offset", int64}, {"error", optionalString}},
         [](Helper& object, Values a, ResultSink reply) {
             object.attach(a.uuid(0), a.optionalInt64(1), a.int64(2), a.int64(3),
                           [reply = std::move(reply)](std::int32_t pid, std::int64_t offset,
                                                      std::optional<std::string> error) {
                               reply(encodeResult(pid, offset, error));
                           });
         }},
        {"detach",
         toAgent,
         notification,
         {{"id", uuid}},
         {},
         [](Helper& object, Values a, ResultSink) { object.detach(a.uuid(0)); }},
        {"list",
         toAgent,
         request,
         {},
         {{"shells", keptShells}},
         [](Helper& object, Values, ResultSink reply) {
             object.list([reply = std::move(reply)](std::vector<KeptShellInfo> shells) {
                 reply(encodeResult(shells));
             });
         }},
        {"commands",
         toAgent,
         request,
         {{"id", uuid}},
         {{"commands", commands}},
         [](Helper& object, Values a, ResultSink reply) {
             object.commands(a.uuid(0),
                             [reply = std::move(reply)](std::vector<CommandInfo> commands) {
                                 reply(encodeResult(commands));
                             });
         }},
        {"output",
         toClient,
         notification,
         {{"id", uuid}, {"data", bytes}},
         {},
         nullptr,
         [](Client& object, Values a) {
             ByteView data = a.bytes(1);
             object.output(a.uuid(0), Bytes(data.begin(), data.end()));
         }},
        {"exited",
         toClient,
         notification,
         {{"id", uuid}, {"status", int32}},
         {},
         nullptr,
         [](Client& object, Values a) { object.exited(a.uuid(0), a.int32(1)); }},
        {"folderChanged",
         toClient,
         notification,
         {{"id", uuid}, {"folder", string}},
         {},
         nullptr,
         [](Client& object, Values a) { object.folderChanged(a.uuid(0), a.string(1)); }},
        {"detached",
         toClient,
         notification,
         {{"id", uuid}, {"reason", string}},
         {},
         nullptr,
         [](Client& object, Values a) { object.detached(a.uuid(0), a.string(1)); }},
        {"commandStarted",
         toClient,
         notification,
         {{"id", uuid}, {"offset", int64}, {"commandLine", optionalString}},
         {},
         nullptr,
         [](Client& object, Values a) {
             object.commandStarted(a.uuid(0), a.int64(1), a.optionalString(2));
         }},
        {"commandFinished",
         toClient,
         notification,
         {{"id", uuid}, {"offset", int64}, {"exitCode", optionalInt64}, {"milliseconds", int64}},
         {},
         nullptr,
         [](Client& object, Values a) {
             object.commandFinished(a.uuid(0), a.int64(1), a.optionalInt64(2), a.int64(3));
         }},
        {"error", toClient, notification, {{"method", string}, {"message", string}}, {}},
        {"closing", toClient, notification, {{"reason", string}}, {}},
    };
}

} // namespace

UUID WireValues::uuid(std::size_t index) const {
    UUID::Bytes bytes;
    std::memcpy(bytes.data(), items_[index].via.bin.ptr, bytes.size());
    return UUID(bytes);
}

std::int64_t WireValues::int64(std::size_t index) const {
    return int64Of(items_[index]);
}

std::optional<std::int64_t> WireValues::optionalInt64(std::size_t index) const {
    if (items_[index].type == object_type::NIL)
        return std::nullopt;
    return int64(index);
}

std::int32_t WireValues::int32(std::size_t index) const {
    return static_cast<std::int32_t>(int64Of(items_[index]));
}

bool WireValues::boolean(std::size_t index) const {
    return items_[index].via.boolean;
}

std::string WireValues::string(std::size_t index) const {
    return std::string(textOf(items_[index]));
}

std::optional<std::string> WireValues::optionalString(std::size_t index) const {
    if (items_[index].type == object_type::NIL)
        return std::nullopt;
    return string(index);
}

ByteView WireValues::bytes(std::size_t index) const {
    const msgpack::object& value = items_[index];
    return {reinterpret_cast<const std::uint8_t*>(value.via.bin.ptr), value.via.bin.size};
}

Environment WireValues::environment(std::size_t index) const {
    Environment environment;
    const msgpack::object& value = items_[index];
    for (const auto& entry : std::span(value.via.map.ptr, value.via.map.size))
        environment.insert_or_assign(std::string(textOf(entry.key)),
                                     std::string(textOf(entry.val)));
    return environment;
}

ShellOptions WireValues::shellOptions(std::size_t index) const {
    ShellOptions options;
    if (index >= count_ || items_[index].type == object_type::NIL)
        return options;
    std::optional<std::int64_t> history;
    const msgpack::object& value = items_[index];
    for (const auto& entry : std::span(value.via.map.ptr, value.via.map.size)) {
        std::string_view name = textOf(entry.key);
        if (name == "keep")
            options.keep = int64Of(entry.val);
        else if (name == "history")
            history = int64Of(entry.val);
        else if (name == "marks")
            options.marks = entry.val.via.boolean;
        else if (name == "integration")
            options.integration = entry.val.via.boolean;
    }
    options.history = history.value_or(options.isKept() ? ShellOptions::defaultKeptHistory : 0);
    return options;
}

std::vector<KeptShellInfo> WireValues::keptShells(std::size_t index) const {
    std::vector<KeptShellInfo> shells;
    const msgpack::object& value = items_[index];
    for (const auto& map : std::span(value.via.array.ptr, value.via.array.size)) {
        KeptShellInfo& shell = shells.emplace_back();
        for (const auto& entry : std::span(map.via.map.ptr, map.via.map.size)) {
            auto key = shellInfoKeyIndex(entry.key);
            if (!key)
                continue;
            WireValues item(&entry.val, 1);
            switch (*key) {
            case 0:
                shell.id = item.uuid(0);
                break;
            case 1:
                shell.pid = item.int32(0);
                break;
            case 2:
                shell.attached = item.boolean(0);
                break;
            case 3:
                shell.exited = item.boolean(0);
                break;
            case 4:
                shell.oldest = item.int64(0);
                break;
            case 5:
                shell.produced = item.int64(0);
                break;
            case 6:
                shell.columns = item.int64(0);
                break;
            case 7:
                shell.rows = item.int64(0);
                break;
            case 8:
                shell.folder = item.optionalString(0);
                break;
            case 9:
                shell.program = item.optionalString(0);
                break;
            case 10:
                shell.keep = item.int64(0);
                break;
            case 11:
                shell.left = item.optionalInt64(0);
                break;
            }
        }
    }
    return shells;
}

std::vector<CommandInfo> WireValues::commands(std::size_t index) const {
    std::vector<CommandInfo> commands;
    const msgpack::object& value = items_[index];
    for (const auto& map : std::span(value.via.array.ptr, value.via.array.size)) {
        CommandInfo& command = commands.emplace_back();
        std::array<std::optional<std::int64_t>*, commandKeys.size()> numbers{
            nullptr, &command.started, &command.finished, &command.exitCode, &command.milliseconds};
        for (const auto& entry : std::span(map.via.map.ptr, map.via.map.size)) {
            auto key = commandKeyIndex(entry.key);
            if (!key)
                continue;
            WireValues item(&entry.val, 1);
            if (*key == 0)
                command.commandLine = item.optionalString(0);
            else
                *numbers[*key] = item.optionalInt64(0);
        }
    }
    return commands;
}

const std::vector<WireMethod>& wireMethods() {
    static const std::vector<WireMethod> methods = makeWireMethods();
    return methods;
}

const WireMethod* findMethod(Direction direction, std::string_view name) {
    const auto& methods = wireMethods();
    auto found = std::find_if(methods.begin(), methods.end(), [&](const WireMethod& method) {
        return method.direction == direction && method.name == name;
    });
    return found == methods.end() ? nullptr : &*found;
}

const WireMethod* checkedMethod(Direction direction, MessageKind kind, std::string_view name,
                                const msgpack::object& params, std::string& problem) {
    const WireMethod* method = findMethod(direction, name);
    if (method == nullptr) {
        problem = "Unknown method \"" + quotedText(name) + "\".";
        return nullptr;
    }
    if (method->kind != kind) {
        problem = std::string(name) + (kind == MessageKind::request
                                           ? " is a notification, not a request."
                                           : " is a request, not a notification.");
        return nullptr;
    }
    if (params.type != object_type::ARRAY) {
        problem = std::string(name) + ": params must be an array.";
        return nullptr;
    }
    std::size_t count = params.via.array.size;
    std::size_t least = requiredCount(method->arguments);
    std::size_t most = method->arguments.size();
    if (count < least || count > most) {
        std::string expected = least == most
                                   ? std::to_string(most)
                                   : std::to_string(least) + " to " + std::to_string(most);
        problem = std::string(name) + ": expects " + expected + " params, not " +
                  std::to_string(count) + ".";
        return nullptr;
    }
    if (auto mismatch = valuesProblem(name, method->arguments, params.via.array.ptr, count)) {
        problem = std::move(*mismatch);
        return nullptr;
    }
    return method;
}

std::optional<WireValues> checkedResult(const WireMethod& method, const msgpack::object& result) {
    const msgpack::object* items = &result;
    std::size_t count = 1;
    if (method.result.size() != 1) {
        if (result.type != object_type::ARRAY || result.via.array.size != method.result.size())
            return std::nullopt;
        items = result.via.array.ptr;
        count = result.via.array.size;
    }
    if (valuesProblem(method.name, method.result, items, count))
        return std::nullopt;
    return WireValues(items, count);
}

namespace wire {

void pack(Packer& packer, const UUID& id) {
    pack(packer, ByteView(id.bytes()));
}

void pack(Packer& packer, std::int64_t value) {
    packer.pack_int64(value);
}

void pack(Packer& packer, std::int32_t value) {
    packer.pack_int32(value);
}

void pack(Packer& packer, bool value) {
    if (value)
        packer.pack_true();
    else
        packer.pack_false();
}

void pack(Packer& packer, std::string_view text) {
    packer.pack_str(static_cast<std::uint32_t>(text.size()));
    packer.pack_str_body(text.data(), static_cast<std::uint32_t>(text.size()));
}

void pack(Packer& packer, const char* text) {
    pack(packer, std::string_view(text));
}

void pack(Packer& packer, const std::string& text) {
    pack(packer, std::string_view(text));
}

void pack(Packer& packer, const std::optional<std::string>& text) {
    if (text)
        pack(packer, std::string_view(*text));
    else
        packer.pack_nil();
}

void pack(Packer& packer, const Environment& environment) {
    packer.pack_map(static_cast<std::uint32_t>(environment.size()));
    for (const auto& [key, value] : environment) {
        pack(packer, std::string_view(key));
        pack(packer, std::string_view(value));
    }
}

void pack(Packer& packer, ByteView data) {
    packer.pack_bin(static_cast<std::uint32_t>(data.size()));
    packer.pack_bin_body(reinterpret_cast<const char*>(data.data()),
                         static_cast<std::uint32_t>(data.size()));
}

void pack(Packer& packer, const std::optional<std::int64_t>& value) {
    if (value)
        packer.pack_int64(*value);
    else
        packer.pack_nil();
}

void pack(Packer& packer, const ShellOptions& options) {
    std::int64_t defaultHistory = options.isKept() ? ShellOptions::defaultKeptHistory : 0;
    bool withKeep = options.keep != 0;
    bool withHistory = options.history != defaultHistory;
    packer.pack_map(static_cast<std::uint32_t>(withKeep) + static_cast<std::uint32_t>(withHistory) +
                    static_cast<std::uint32_t>(options.marks) +
                    static_cast<std::uint32_t>(options.integration));
    if (withKeep) {
        pack(packer, "keep");
        pack(packer, options.keep);
    }
    if (withHistory) {
        pack(packer, "history");
        pack(packer, options.history);
    }
    if (options.marks) {
        pack(packer, "marks");
        pack(packer, true);
    }
    if (options.integration) {
        pack(packer, "integration");
        pack(packer, true);
    }
}

void pack(Packer& packer, const KeptShellInfo& shell) {
    packer.pack_map(static_cast<std::uint32_t>(shellInfoKeys.size()));
    auto field = [&](std::size_t index, const auto& value) {
        pack(packer, shellInfoKeys[index].name);
        pack(packer, value);
    };
    field(0, shell.id);
    field(1, shell.pid);
    field(2, shell.attached);
    field(3, shell.exited);
    field(4, shell.oldest);
    field(5, shell.produced);
    field(6, shell.columns);
    field(7, shell.rows);
    field(8, shell.folder);
    field(9, shell.program);
    field(10, shell.keep);
    field(11, shell.left);
}

void pack(Packer& packer, const std::vector<KeptShellInfo>& shells) {
    packer.pack_array(static_cast<std::uint32_t>(shells.size()));
    for (const KeptShellInfo& shell : shells)
        pack(packer, shell);
}

void pack(Packer& packer, const std::vector<CommandInfo>& commands) {
    packer.pack_array(static_cast<std::uint32_t>(commands.size()));
    for (const CommandInfo& command : commands) {
        packer.pack_map(static_cast<std::uint32_t>(commandKeys.size()));
        pack(packer, commandKeys[0].name);
        pack(packer, command.commandLine);
        pack(packer, commandKeys[1].name);
        pack(packer, command.started);
        pack(packer, commandKeys[2].name);
        pack(packer, command.finished);
        pack(packer, commandKeys[3].name);
        pack(packer, command.exitCode);
        pack(packer, commandKeys[4].name);
        pack(packer, command.milliseconds);
    }
}

} // namespace wire

std::string encodeResponse(std::uint32_t msgid, std::string_view encodedResult) {
    wire::StringStream stream;
    wire::Packer packer(stream);
    packer.pack_array(4);
    packer.pack_uint8(1);
    packer.pack_uint32(msgid);
    packer.pack_nil();
    stream.data.append(encodedResult);
    return std::move(stream.data);
}

std::string encodeErrorResponse(std::uint32_t msgid, std::string_view message) {
    wire::StringStream stream;
    wire::Packer packer(stream);
    packer.pack_array(4);
    packer.pack_uint8(1);
    packer.pack_uint32(msgid);
    wire::pack(packer, message);
    packer.pack_nil();
    return std::move(stream.data);
}

namespace {

// Writes into a MessageHead's inline bytes.
struct HeadStream {
    MessageHead& head;
    void write(const char* bytes, std::size_t size) {
        if (head.size + size > head.bytes.size())
            stopProgram("a message head does not fit its inline storage");
        std::memcpy(head.bytes.data() + head.size, bytes, size);
        head.size += size;
    }
};

} // namespace

MessageHead encodeDataHead(std::string_view method, const UUID& id, std::size_t dataSize) {
    if (dataSize > std::numeric_limits<std::uint32_t>::max())
        stopProgram("a " + std::string(method) + " message cannot carry " +
                    std::to_string(dataSize) + " bytes");
    MessageHead head;
    HeadStream stream{head};
    msgpack::packer<HeadStream> packer(stream);
    packer.pack_array(3);
    packer.pack_uint8(2);
    packer.pack_str(static_cast<std::uint32_t>(method.size()));
    packer.pack_str_body(method.data(), static_cast<std::uint32_t>(method.size()));
    packer.pack_array(2);
    packer.pack_bin(static_cast<std::uint32_t>(id.bytes().size()));
    packer.pack_bin_body(reinterpret_cast<const char*>(id.bytes().data()),
                         static_cast<std::uint32_t>(id.bytes().size()));
    packer.pack_bin(static_cast<std::uint32_t>(dataSize));
    return head;
}

} // namespace veltro
