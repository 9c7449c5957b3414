#include "protocol/TerminalInterfaces.hpp"

#include <gtest/gtest.h>

#include <functional>

using namespace veltro;

namespace {

using Packer = msgpack::packer<msgpack::sbuffer>;
using Build = std::function<void(Packer&)>;

template <class Build> msgpack::object_handle packed(Build build) {
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

// The problem with params made by `build`, for a message received by `direction`'s side.
std::optional<std::string> problemOf(Direction direction, std::string_view method,
                                     const Build& build) {
    auto params = packed(build);
    std::string problem;
    if (checkedMethod(direction, MessageKind::notification, method, params.get(), problem) ||
        checkedMethod(direction, MessageKind::request, method, params.get(), problem))
        return std::nullopt;
    return problem;
}

} // namespace

TEST(TerminalInterfaces, ParamsThatDoNotMatchAreRefusedWithTheMethodNamed) {
    auto openShell = [](Build folder, Build shell, Build environment) -> Build {
        return [=](Packer& p) {
            p.pack_array(6), packID(p), p.pack(80), p.pack(24);
            folder(p), shell(p), environment(p);
        };
    };
    Build slash = [](Packer& p) { p.pack("/"); };
    Build nil = [](Packer& p) { p.pack_nil(); };
    Build empty = [](Packer& p) { p.pack_map(0); };
    auto entry = [](std::string key, std::string value) -> Build {
        return [=](Packer& p) { p.pack_map(1), p.pack(key), p.pack(value); };
    };
    auto exited = [](std::int64_t status) -> Build {
        return [=](Packer& p) { p.pack_array(2), packID(p), p.pack(status); };
    };
    struct Case {
        std::string name;
        Direction direction;
        std::string method;
        Build params;
        bool accepted;
    };
    const auto toAgent = Direction::toAgent;
    std::vector<Case> cases = {
        {"nil folder", toAgent, "openShell", openShell(nil, nil, empty), false},
        {"NUL in folder", toAgent, "openShell",
         openShell([](Packer& p) { p.pack(std::string("/\0", 2)); }, nil, empty), false},
        {"NUL in shell", toAgent, "openShell",
         openShell(
             slash, [](Packer& p) { p.pack(std::string("sh\0", 3)); }, empty),
         false},
        {"surrogate in shell", toAgent, "openShell",
         openShell(
             slash, [](Packer& p) { p.pack("\xED\xA0\x80"); }, empty),
         false},
        {"folder as bin", toAgent, "openShell",
         openShell([](Packer& p) { p.pack_bin(1), p.pack_bin_body("/", 1); }, nil, empty), false},
        {"environment as array", toAgent, "openShell",
         openShell(slash, nil, [](Packer& p) { p.pack_array(0); }), false},
        {"environment nil", toAgent, "openShell", openShell(slash, nil, nil), false},
        {"empty name", toAgent, "openShell", openShell(slash, nil, entry("", "v")), false},
        {"name with =", toAgent, "openShell", openShell(slash, nil, entry("A=", "v")), false},
        {"NUL in name", toAgent, "openShell",
         openShell(slash, nil, entry(std::string("A\0", 2), "v")), false},
        {"NUL in value", toAgent, "openShell",
         openShell(slash, nil, entry("A", std::string("\0", 1))), false},
        {"overlong value", toAgent, "openShell", openShell(slash, nil, entry("A", "\xC0\xAF")),
         false},
        {"= in a value", toAgent, "openShell", openShell(slash, nil, entry("A", "=b")), true},
        {"key not a str", toAgent, "openShell",
         openShell(slash, nil, [](Packer& p) { p.pack_map(1), p.pack(1), p.pack("v"); }), false},
        {"five params", toAgent, "openShell",
         [](Packer& p) {
             p.pack_array(5), packID(p), p.pack(80), p.pack(24), p.pack("/"), p.pack_nil();
         },
         false},
        {"uuid of 17 bytes", toAgent, "close", [](Packer& p) { p.pack_array(1), packID(p, 17); },
         false},
        {"columns as float", toAgent, "resize",
         [](Packer& p) { p.pack_array(3), packID(p), p.pack(80.5), p.pack(24); }, false},
        {"rows past int64", toAgent, "resize",
         [](Packer& p) { p.pack_array(3), packID(p), p.pack(1), p.pack(std::uint64_t(1) << 63); },
         false},
        {"data as ext", toAgent, "write",
         [](Packer& p) { p.pack_array(2), packID(p), p.pack_ext(1, 1), p.pack_ext_body("x", 1); },
         false},
        {"status at int32 min", Direction::toClient, "exited", exited(INT32_MIN), true},
        {"status at int32 max", Direction::toClient, "exited", exited(INT32_MAX), true},
        {"status past int32", Direction::toClient, "exited", exited(std::int64_t(1) << 31), false},
        {"status below int32", Direction::toClient, "exited", exited(INT32_MIN - 1LL), false},
        {"output sent to the agent", toAgent, "output",
         [](Packer& p) { p.pack_array(2), packID(p), p.pack_bin(0); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto problem = problemOf(c.direction, c.method, c.params);
        EXPECT_EQ(!problem, c.accepted) << problem.value_or("");
        if (problem) {
            EXPECT_NE(problem->find(c.method), std::string::npos) << *problem;
        }
    }
}

TEST(TerminalInterfaces, RequestsAndNotificationsAreNotInterchangeable) {
    auto params = packed([](Packer& p) { p.pack_array(1), packID(p); });
    std::string problem;
    EXPECT_FALSE(
        checkedMethod(Direction::toAgent, MessageKind::request, "close", params.get(), problem));
    EXPECT_EQ(problem, "close is a notification, not a request.");
    EXPECT_FALSE(checkedMethod(Direction::toAgent, MessageKind::notification, "isBusy",
                               params.get(), problem));
    EXPECT_EQ(problem, "isBusy is a request, not a notification.");
    EXPECT_FALSE(checkedMethod(Direction::toAgent, MessageKind::request, std::string(100, '\xFF'),
                               params.get(), problem));
    EXPECT_TRUE(isValidUTF8(problem));
}

TEST(TerminalInterfaces, ResultsOfTheWrongTypeAreNotRead) {
    auto result = [](std::string_view method, Build build) {
        return checkedResult(*findMethod(Direction::toAgent, method), packed(build).get())
            .has_value();
    };
    EXPECT_TRUE(result("hello", [](Packer& p) { p.pack(1); }));
    EXPECT_FALSE(result("hello", [](Packer& p) { p.pack("1"); }));
    EXPECT_TRUE(result("openShell", [](Packer& p) { p.pack_array(2), p.pack(7), p.pack_nil(); }));
    EXPECT_FALSE(result("openShell", [](Packer& p) {
        p.pack_array(2), p.pack(std::int64_t(1) << 40), p.pack_nil();
    }));
    EXPECT_FALSE(result("isBusy", [](Packer& p) { p.pack_array(2), p.pack(1), p.pack_nil(); }));
    EXPECT_FALSE(result("isBusy", [](Packer& p) { p.pack_array(1), p.pack(true); }));
    EXPECT_TRUE(result("currentFolder", [](Packer& p) { p.pack_nil(); }));
    EXPECT_FALSE(result("currentFolder", [](Packer& p) { p.pack(3); }));
}

TEST(TerminalInterfaces, DataHeadFollowedByTheDataIsTheWholeNotification) {
    UUID id = *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF");
    for (std::size_t size : {0, 1, 255, 256, 65535, 65536, 100000}) {
        SCOPED_TRACE(size);
        Bytes data(size, 'q');
        MessageHead head = encodeDataHead("output", id, size);
        std::string joined(head.view().begin(), head.view().end());
        joined.append(data.begin(), data.end());
        EXPECT_EQ(joined, encodeNotification("output", id, ByteView(data)));
    }
}

TEST(TerminalInterfaces, UTF8ValidationRefusesOverlongsSurrogatesAndTruncations) {
    EXPECT_TRUE(isValidUTF8(""));
    EXPECT_TRUE(isValidUTF8("ascii ü € 𝄞 \xF4\x8F\xBF\xBF"));
    for (const char* bad : {"\xC0\x80", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "\xE2\x82", "\x80", "\xFF", "\xF5\x80\x80\x80"})
        EXPECT_FALSE(isValidUTF8(bad)) << bad;
}
