#include "protocol/TerminalInterfaces.hpp"

#include <gtest/gtest.h>

#include <limits>

using namespace veltro;

namespace {

using Packer = msgpack::packer<msgpack::sbuffer>;

const UUID id = *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF");

std::string wire(const EncodedMessage& message) {
    return message.head + std::string(message.tail.begin(), message.tail.end());
}

msgpack::object_handle decode(const std::string& bytes) {
    return msgpack::unpack(bytes.data(), bytes.size());
}

// The params of an encoded request or notification.
const msgpack::object& paramsOf(const msgpack::object_handle& message) {
    const msgpack::object& array = message.get();
    return array.via.array.ptr[array.via.array.size - 1];
}

std::string methodOf(const msgpack::object_handle& message) {
    const msgpack::object& array = message.get();
    return array.via.array.ptr[array.via.array.size - 2].as<std::string>();
}

template <class Build> msgpack::object_handle params(Build build) {
    msgpack::sbuffer buffer;
    Packer packer(buffer);
    build(packer);
    return msgpack::unpack(buffer.data(), buffer.size());
}

void packID(Packer& packer, std::uint32_t size = 16) {
    std::string bytes(size, '\x11');
    packer.pack_bin(size);
    packer.pack_bin_body(bytes.data(), size);
}

// Records the calls, with every argument, and answers replies with fixed values.
struct Recorder : TerminalHelperProtocol, TerminalClientProtocol {
    std::vector<std::string> calls;
    std::string describe(const UUID& uuid) { return uuid.string(); }

    void hello(std::int64_t version, HelloReply reply) override {
        calls.push_back("hello " + std::to_string(version));
        reply(1);
    }
    void openShell(UUID uuid, std::int64_t columns, std::int64_t rows, std::string folder,
                   std::optional<std::string> shell, Environment environment,
                   OpenShellReply reply) override {
        std::string call = "openShell " + describe(uuid) + " " + std::to_string(columns) + " " +
                           std::to_string(rows) + " " + folder + " " + shell.value_or("nil");
        for (const auto& [key, value] : environment)
            call += " " + key + "=" + value;
        calls.push_back(call);
        reply(0, "A shell with this id is already open.");
    }
    void write(UUID uuid, Bytes data) override {
        calls.push_back("write " + describe(uuid) + " " + std::to_string(data.size()));
    }
    void resize(UUID uuid, std::int64_t columns, std::int64_t rows) override {
        calls.push_back("resize " + describe(uuid) + " " + std::to_string(columns) + " " +
                        std::to_string(rows));
    }
    void currentFolder(UUID uuid, CurrentFolderReply reply) override {
        calls.push_back("currentFolder " + describe(uuid));
        reply(std::nullopt);
    }
    void isBusy(UUID uuid, IsBusyReply reply) override {
        calls.push_back("isBusy " + describe(uuid));
        reply(false, std::nullopt);
    }
    void close(UUID uuid) override { calls.push_back("close " + describe(uuid)); }
    void output(UUID uuid, Bytes data) override {
        calls.push_back("output " + describe(uuid) + " " + std::string(data.begin(), data.end()));
    }
    void exited(UUID uuid, std::int32_t status) override {
        calls.push_back("exited " + describe(uuid) + " " + std::to_string(status));
    }
    void folderChanged(UUID uuid, std::string folder) override {
        calls.push_back("folderChanged " + describe(uuid) + " " + folder);
    }
};

std::optional<std::string> request(Recorder& recorder, const EncodedMessage& message,
                                   std::string* result = nullptr) {
    auto decoded = decode(wire(message));
    return TerminalInterfaces::deliverRequest(recorder, methodOf(decoded), paramsOf(decoded),
                                              [result](std::string encoded) {
                                                  if (result)
                                                      *result = encoded;
                                              });
}

std::optional<std::string> helperNotification(Recorder& recorder, const EncodedMessage& message) {
    auto decoded = decode(wire(message));
    return TerminalInterfaces::deliverNotification(static_cast<TerminalHelperProtocol&>(recorder),
                                                   methodOf(decoded), paramsOf(decoded));
}

std::optional<std::string> clientNotification(Recorder& recorder, const EncodedMessage& message) {
    auto decoded = decode(wire(message));
    return TerminalInterfaces::deliverNotification(static_cast<TerminalClientProtocol&>(recorder),
                                                   methodOf(decoded), paramsOf(decoded));
}

} // namespace

TEST(TerminalInterfaces, MethodsHaveTheWireNamesKindsAndTypesOfTheContract) {
    using enum WireType;
    auto helper = terminalHelper();
    std::vector<std::pair<std::string, MessageKind>> expected = {
        {"hello", MessageKind::request},         {"openShell", MessageKind::request},
        {"write", MessageKind::notification},    {"resize", MessageKind::notification},
        {"currentFolder", MessageKind::request}, {"isBusy", MessageKind::request},
        {"close", MessageKind::notification}};
    ASSERT_EQ(helper.methods().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(helper.methods()[i].name, expected[i].first);
        EXPECT_EQ(helper.methods()[i].kind, expected[i].second);
    }
    std::vector<WireArgument> open = {
        {"id", uuid},       {"columns", int64},        {"rows", int64},
        {"folder", string}, {"shell", optionalString}, {"environment", environment}};
    EXPECT_EQ(helper.method("openShell")->arguments, open);
    std::vector<WireArgument> openResult = {{"pid", int32}, {"error", optionalString}};
    EXPECT_EQ(helper.method("openShell")->result, openResult);
    EXPECT_EQ(helper.method("identify"), nullptr);

    auto client = terminalClient();
    ASSERT_EQ(client.methods().size(), 3u);
    EXPECT_EQ(client.method("exited")->arguments[1].type, int32);
    for (const auto& method : client.methods())
        EXPECT_EQ(method.kind, MessageKind::notification);
    EXPECT_EQ(terminalHelper(), helper);
    EXPECT_NE(&terminalHelper().methods(), &helper.methods());
}

TEST(TerminalInterfaces, EveryHelperMessageRoundTripsToTheSameCall) {
    Recorder recorder;
    std::string idText = id.string();
    std::string openResult, helloResult, folderResult, busyResult;
    EXPECT_FALSE(request(recorder, TerminalInterfaces::encodeHello(1, -5), &helloResult));
    EXPECT_FALSE(request(
        recorder,
        TerminalInterfaces::encodeOpenShell(2, id, std::numeric_limits<std::int64_t>::min(),
                                            std::numeric_limits<std::int64_t>::max(), "/tmp/ü",
                                            "/bin/zsh", {{"A", ""}, {"ZED", "ü=x"}}),
        &openResult));
    EXPECT_FALSE(helperNotification(recorder, TerminalInterfaces::encodeWrite(id, Bytes(3, 0))));
    EXPECT_FALSE(helperNotification(recorder, TerminalInterfaces::encodeResize(id, 0, -1)));
    EXPECT_FALSE(request(recorder, TerminalInterfaces::encodeCurrentFolder(3, id), &folderResult));
    EXPECT_FALSE(request(recorder, TerminalInterfaces::encodeIsBusy(4, id), &busyResult));
    EXPECT_FALSE(helperNotification(recorder, TerminalInterfaces::encodeClose(id)));
    std::vector<std::string> expected = {
        "hello -5",
        "openShell " + idText +
            " -9223372036854775808 9223372036854775807 /tmp/ü /bin/zsh A= "
            "ZED=ü=x",
        "write " + idText + " 3",
        "resize " + idText + " 0 -1",
        "currentFolder " + idText,
        "isBusy " + idText,
        "close " + idText,
    };
    EXPECT_EQ(recorder.calls, expected);

    EXPECT_EQ(TerminalInterfaces::decodeHelloResult(decode(helloResult).get()), 1);
    auto open = TerminalInterfaces::decodeOpenShellResult(decode(openResult).get());
    ASSERT_TRUE(open);
    EXPECT_EQ(open->first, 0);
    EXPECT_EQ(open->second, "A shell with this id is already open.");
    auto folder = TerminalInterfaces::decodeCurrentFolderResult(decode(folderResult).get());
    ASSERT_TRUE(folder);
    EXPECT_FALSE(*folder);
    auto busy = TerminalInterfaces::decodeIsBusyResult(decode(busyResult).get());
    ASSERT_TRUE(busy);
    EXPECT_FALSE(busy->first);
    EXPECT_FALSE(busy->second);
}

TEST(TerminalInterfaces, EveryClientMessageRoundTripsToTheSameCall) {
    Recorder recorder;
    EXPECT_FALSE(clientNotification(recorder, TerminalInterfaces::encodeOutput(id, Bytes{'h'})));
    EXPECT_FALSE(clientNotification(
        recorder, TerminalInterfaces::encodeExited(id, std::numeric_limits<std::int32_t>::min())));
    EXPECT_FALSE(clientNotification(recorder, TerminalInterfaces::encodeFolderChanged(id, "/ü")));
    std::string idText = id.string();
    std::vector<std::string> expected = {"output " + idText + " h",
                                         "exited " + idText + " -2147483648",
                                         "folderChanged " + idText + " /ü"};
    EXPECT_EQ(recorder.calls, expected);
}

TEST(TerminalInterfaces, OutputDataTravelsAsTheTailUnencoded) {
    Bytes data(100000, 'q');
    const std::uint8_t* buffer = data.data();
    EncodedMessage message = TerminalInterfaces::encodeOutput(id, std::move(data));
    EXPECT_EQ(message.tail.data(), buffer);
    EXPECT_LT(message.head.size(), 40u);
    auto decoded = decode(wire(message));
    EXPECT_EQ(paramsOf(decoded).via.array.ptr[1].via.bin.size, 100000u);
}

TEST(TerminalInterfaces, ParamsThatDoNotMatchAreRefusedWithTheMethodNamed) {
    using Build = std::function<void(Packer&)>;
    auto openShell = [](Build folder, Build shell, Build environment) {
        return [=](Packer& p) {
            p.pack_array(6);
            packID(p);
            p.pack(80);
            p.pack(24);
            folder(p);
            shell(p);
            environment(p);
        };
    };
    Build slash = [](Packer& p) { p.pack("/"); };
    Build nil = [](Packer& p) { p.pack_nil(); };
    Build empty = [](Packer& p) { p.pack_map(0); };
    auto entry = [](std::string key, std::string value) -> Build {
        return [=](Packer& p) {
            p.pack_map(1);
            p.pack(key);
            p.pack(value);
        };
    };
    std::vector<std::pair<std::string, Build>> refused = {
        {"nil folder", openShell(nil, nil, empty)},
        {"NUL in folder", openShell([](Packer& p) { p.pack(std::string("/\0", 2)); }, nil, empty)},
        {"NUL in shell", openShell(
                             slash, [](Packer& p) { p.pack(std::string("sh\0", 3)); }, empty)},
        {"invalid UTF-8 shell", openShell(
                                    slash, [](Packer& p) { p.pack("\xED\xA0\x80"); }, empty)},
        {"folder as bin",
         openShell([](Packer& p) { p.pack_bin(1), p.pack_bin_body("/", 1); }, nil, empty)},
        {"environment as array", openShell(slash, nil, [](Packer& p) { p.pack_array(0); })},
        {"environment nil", openShell(slash, nil, nil)},
        {"empty name", openShell(slash, nil, entry("", "v"))},
        {"name with =", openShell(slash, nil, entry("A=", "v"))},
        {"NUL in name", openShell(slash, nil, entry(std::string("A\0", 2), "v"))},
        {"NUL in value", openShell(slash, nil, entry("A", std::string("\0", 1)))},
        {"invalid UTF-8 value", openShell(slash, nil, entry("A", "\xC0\xAF"))},
        {"key not a str", openShell(slash, nil,
                                    [](Packer& p) {
                                        p.pack_map(1);
                                        p.pack(1);
                                        p.pack("v");
                                    })},
        {"five params",
         [](Packer& p) {
             p.pack_array(5);
             packID(p);
             p.pack(80), p.pack(24), p.pack("/"), p.pack_nil();
         }},
        {"uuid of 17 bytes",
         [](Packer& p) {
             p.pack_array(6);
             packID(p, 17);
             p.pack(80), p.pack(24), p.pack("/"), p.pack_nil(), p.pack_map(0);
         }},
        {"columns as float",
         [](Packer& p) {
             p.pack_array(6);
             packID(p);
             p.pack(80.5), p.pack(24), p.pack("/"), p.pack_nil(), p.pack_map(0);
         }},
        {"rows past int64",
         [](Packer& p) {
             p.pack_array(6);
             packID(p);
             p.pack(80), p.pack(std::uint64_t(1) << 63), p.pack("/"), p.pack_nil(), p.pack_map(0);
         }},
    };
    auto helper = terminalHelper();
    for (const auto& [name, build] : refused) {
        SCOPED_TRACE(name);
        auto problem = checkArguments(*helper.method("openShell"), params(build).get());
        ASSERT_TRUE(problem);
        EXPECT_NE(problem->find("openShell"), std::string::npos) << *problem;
    }
    EXPECT_FALSE(checkArguments(*helper.method("openShell"),
                                params(openShell(slash, nil, entry("A", "=b"))).get()));
}

TEST(TerminalInterfaces, Int32ArgumentsAreRangeChecked) {
    auto exited = *terminalClient().method("exited");
    auto withStatus = [](std::int64_t status) {
        return params([=](Packer& p) {
            p.pack_array(2);
            packID(p);
            p.pack(status);
        });
    };
    EXPECT_FALSE(
        checkArguments(exited, withStatus(std::numeric_limits<std::int32_t>::min()).get()));
    EXPECT_FALSE(
        checkArguments(exited, withStatus(std::numeric_limits<std::int32_t>::max()).get()));
    EXPECT_TRUE(checkArguments(exited, withStatus(std::int64_t(1) << 31).get()));
    EXPECT_TRUE(checkArguments(exited, withStatus(-(std::int64_t(1) << 31) - 1).get()));
}

TEST(TerminalInterfaces, RequestsAndNotificationsAreNotInterchangeable) {
    Recorder recorder;
    auto decoded = decode(wire(TerminalInterfaces::encodeHello(1, 1)));
    EXPECT_TRUE(TerminalInterfaces::deliverNotification(
        static_cast<TerminalHelperProtocol&>(recorder), "hello", paramsOf(decoded)));
    auto close = decode(wire(TerminalInterfaces::encodeClose(id)));
    EXPECT_TRUE(TerminalInterfaces::deliverRequest(recorder, "close", paramsOf(close), nullptr));
    auto unknown = TerminalInterfaces::deliverRequest(recorder, std::string(100, '\xFF'),
                                                      paramsOf(close), nullptr);
    ASSERT_TRUE(unknown);
    EXPECT_TRUE(isValidUTF8(*unknown));
    EXPECT_TRUE(recorder.calls.empty());
}

TEST(TerminalInterfaces, UTF8ValidationRefusesOverlongsSurrogatesAndTruncations) {
    EXPECT_TRUE(isValidUTF8(""));
    EXPECT_TRUE(isValidUTF8("ascii ü € 𝄞 \xF4\x8F\xBF\xBF"));
    for (const char* bad : {"\xC0\x80", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "\xE2\x82", "\x80", "\xFF", "\xF5\x80\x80\x80"})
        EXPECT_FALSE(isValidUTF8(bad)) << bad;
}

TEST(TerminalInterfaces, ResultsOfTheWrongTypeAreNotDecoded) {
    auto value = [](auto build) { return params(build); };
    EXPECT_FALSE(
        TerminalInterfaces::decodeHelloResult(value([](Packer& p) { p.pack("1"); }).get()));
    EXPECT_FALSE(TerminalInterfaces::decodeOpenShellResult(value([](Packer& p) {
                                                               p.pack_array(2),
                                                                   p.pack(std::int64_t(1) << 40),
                                                                   p.pack_nil();
                                                           }).get()));
    EXPECT_FALSE(TerminalInterfaces::decodeIsBusyResult(
        value([](Packer& p) { p.pack_array(2), p.pack(1), p.pack_nil(); }).get()));
    EXPECT_FALSE(
        TerminalInterfaces::decodeCurrentFolderResult(value([](Packer& p) { p.pack(3); }).get()));
}
