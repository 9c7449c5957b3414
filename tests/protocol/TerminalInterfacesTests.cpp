#include "protocol/TerminalInterfaces.hpp"

#include <gtest/gtest.h>

#include <map>

using namespace veltro;

namespace {

using Map = std::map<std::string, std::string>;
const std::vector<char> id(16, '\x11');
const auto nil = msgpack::type::nil_t();

// Values packed by hand, as an array, and decoded again.
template <class... Values> msgpack::object_handle packed(const Values&... values) {
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, std::make_tuple(values...));
    return msgpack::unpack(buffer.data(), buffer.size());
}

// The problem with these params for the side of `direction`, whatever the method's kind.
std::optional<std::string> problemOf(Direction direction, std::string_view method,
                                     const msgpack::object_handle& params) {
    std::string problem;
    if (checkedMethod(direction, MessageKind::notification, method, params.get(), problem) ||
        checkedMethod(direction, MessageKind::request, method, params.get(), problem))
        return std::nullopt;
    return problem;
}

template <class Folder, class Shell, class Environment>
msgpack::object_handle openShell(const Folder& folder, const Shell& shell,
                                 const Environment& environment) {
    return packed(id, 80, 24, folder, shell, environment);
}

} // namespace

TEST(TerminalInterfaces, ParamsThatDoNotMatchAreRefused) {
    struct Case {
        std::string name;
        std::string method;
        msgpack::object_handle params;
        bool accepted = false;
        Direction direction = Direction::toAgent;
    };
    std::vector<Case> cases;
    cases.push_back({"nil folder", "openShell", openShell(nil, nil, Map())});
    cases.push_back({"NUL in shell", "openShell", openShell("/", std::string("sh\0", 3), Map())});
    cases.push_back({"environment as array", "openShell", openShell("/", nil, std::vector<int>())});
    cases.push_back({"name with =", "openShell", openShell("/", nil, Map{{"A=", "v"}})});
    cases.push_back({"NUL in value", "openShell", openShell("/", nil, Map{{"A", {"\0", 1}}})});
    cases.push_back({"= in a value", "openShell", openShell("/", nil, Map{{"A", "=b"}}), true});
    cases.push_back(
        {"key not a str", "openShell", openShell("/", nil, std::map<int, int>{{1, 2}})});
    cases.push_back({"five params", "openShell", packed(id, 80, 24, "/", nil)});
    cases.push_back({"uuid of 17 bytes", "close", packed(std::vector<char>(17))});
    cases.push_back({"rows past int64", "resize", packed(id, 1, std::uint64_t(1) << 63)});
    cases.push_back({"output sent to the agent", "output", packed(id, std::vector<char>())});
    for (std::int64_t status : {std::int64_t(INT32_MIN) - 1, std::int64_t(INT32_MAX) + 1})
        cases.push_back(
            {"status past int32", "exited", packed(id, status), false, Direction::toClient});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto problem = problemOf(c.direction, c.method, c.params);
        EXPECT_EQ(!problem, c.accepted) << problem.value_or("");
    }
}

TEST(TerminalInterfaces, ResultsOfTheWrongTypeAreNotRead) {
    auto readable = [](std::string_view method, const msgpack::object_handle& result) {
        const msgpack::object& value = result.get().via.array.ptr[0];
        return checkedResult(*findMethod(Direction::toAgent, method), value).has_value();
    };
    // Results of the right type are read by the client library's tests against the agent.
    EXPECT_FALSE(readable("hello", packed("1")));
    EXPECT_FALSE(readable("openShell", packed(std::make_tuple(std::int64_t(1) << 40, nil))));
    EXPECT_FALSE(readable("isBusy", packed(std::make_tuple(true))));
    EXPECT_FALSE(readable("currentFolder", packed(3)));
}

// openShell's params with a seventh, `options`, decoded as the agent decodes them.
template <class Options> msgpack::object_handle openWith(const Options& options) {
    return packed(id, 80, 24, "/", nil, Map(), options);
}

TEST(TerminalInterfaces, OptionsAreCheckedKeyByKeyAndNamed) {
    using Options = std::map<std::string, std::int64_t>;
    struct Case {
        std::string name;
        msgpack::object_handle params;
        std::string problem;
    };
    std::vector<Case> cases;
    cases.push_back({"unknown key", openWith(std::map<std::string, int>{{"kep", 5}}),
                     "openShell: unknown option \"kep\"."});
    cases.push_back({"marks", openWith(std::map<std::string, bool>{{"marks", true}}),
                     "openShell: option \"marks\" is not supported yet."});
    cases.push_back({"integration", openWith(std::map<std::string, bool>{{"integration", false}}),
                     "openShell: option \"integration\" is not supported yet."});
    cases.push_back({"keep as str", openWith(std::map<std::string, std::string>{{"keep", "9"}}),
                     "openShell: option \"keep\" must be an integer."});
    cases.push_back({"keep past a week", openWith(Options{{"keep", 604801}}),
                     "openShell: option \"keep\" must be between 0 and 604800."});
    cases.push_back({"negative history", openWith(Options{{"history", -1}}),
                     "openShell: option \"history\" must be between 0 and 67108864."});
    cases.push_back(
        {"options as array", openWith(std::vector<int>{1}), "openShell: options must be a map."});
    cases.push_back({"eight params", packed(id, 80, 24, "/", nil, Map(), nil, nil),
                     "openShell: expects 6 to 7 params, not 8."});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(problemOf(Direction::toAgent, "openShell", c.params).value_or("accepted"),
                  c.problem);
    }
}

TEST(TerminalInterfaces, OptionsLeftOutNilOrEmptyAreVersionOnesOpen) {
    auto optionsOf = [](const msgpack::object_handle& params) {
        std::string problem;
        EXPECT_TRUE(checkedMethod(Direction::toAgent, MessageKind::request, "openShell",
                                  params.get(), problem))
            << problem;
        return WireValues(params.get().via.array.ptr, params.get().via.array.size).shellOptions(6);
    };
    EXPECT_EQ(optionsOf(openShell("/", nil, Map())), ShellOptions{});
    EXPECT_EQ(optionsOf(openWith(nil)), ShellOptions{});
    EXPECT_EQ(optionsOf(openWith(Map())), ShellOptions{});
    // A kept shell keeps 1 MiB unless told otherwise, including none at all.
    EXPECT_EQ(optionsOf(openWith(std::map<std::string, int>{{"keep", 60}})),
              (ShellOptions{60, 1024 * 1024}));
    EXPECT_EQ(optionsOf(openWith(std::map<std::string, int>{{"keep", 60}, {"history", 0}})),
              (ShellOptions{60, 0}));
    EXPECT_EQ(optionsOf(openWith(std::map<std::string, int>{{"history", 10}})),
              (ShellOptions{0, 10}));
}

TEST(TerminalInterfaces, EncodedRequestsOfVersionTwoDecodeToWhatWasSent) {
    auto paramsOf = [](std::string_view method, const std::string& request) {
        auto handle = msgpack::unpack(request.data(), request.size());
        const msgpack::object& params = handle.get().via.array.ptr[3];
        std::string problem;
        EXPECT_TRUE(
            checkedMethod(Direction::toAgent, MessageKind::request, method, params, problem))
            << problem;
        return std::make_pair(std::move(handle),
                              WireValues(params.via.array.ptr, params.via.array.size));
    };
    UUID uuid = UUID::random();
    for (ShellOptions options : {ShellOptions{1, 1024 * 1024}, ShellOptions{5, 0},
                                 ShellOptions{0, 7}, ShellOptions{604800, 67108864}}) {
        auto [handle, values] = paramsOf(
            "openShell", encodeRequest(1, "openShell", uuid, std::int64_t{80}, std::int64_t{24},
                                       "/", std::optional<std::string>(), Environment(), options));
        EXPECT_EQ(values.shellOptions(6), options);
    }
    for (std::optional<std::int64_t> from :
         {std::optional<std::int64_t>(), std::optional<std::int64_t>(0),
          std::optional<std::int64_t>(std::int64_t(1) << 40)}) {
        auto [handle, values] = paramsOf(
            "attach", encodeRequest(2, "attach", uuid, from, std::int64_t{80}, std::int64_t{24}));
        EXPECT_EQ(values.uuid(0), uuid);
        EXPECT_EQ(values.optionalInt64(1), from);
    }
    EXPECT_EQ(paramsOf("list", encodeRequest(3, "list")).second.size(), 0u);
}

TEST(TerminalInterfaces, ListResultsTravelWholeAndKeysOfLaterVersionsAreSkipped) {
    const WireMethod& list = *findMethod(Direction::toAgent, "list");
    std::vector<KeptShellInfo> shells(2);
    shells[0] = {UUID::random(), 41,           true, false,       10, 20, 80, 24,
                 "/home",        std::nullopt, 60,   std::nullopt};
    shells[1] = {UUID::random(), 42, false, true, 0, 0, 1, 1, std::nullopt, "vim", 1, 0};
    std::string encoded = encodeResult(shells);
    auto handle = msgpack::unpack(encoded.data(), encoded.size());
    auto values = checkedResult(list, handle.get());
    ASSERT_TRUE(values);
    EXPECT_EQ(values->keptShells(0), shells);

    msgpack::zone zone;
    using Entry = std::map<std::string, msgpack::object>;
    auto value = [&](const auto& item) { return msgpack::object(item, zone); };
    Entry later{{"id", value(id)},        {"pid", value(1)},    {"attached", value(false)},
                {"exited", value(false)}, {"oldest", value(0)}, {"produced", value(0)},
                {"columns", value(80)},   {"rows", value(24)},  {"folder", value(nil)},
                {"program", value(nil)},  {"keep", value(1)},   {"left", value(1)},
                {"commands", value(3)}};
    EXPECT_TRUE(checkedResult(list, packed(std::vector<Entry>{later}).get().via.array.ptr[0]));
    Entry lacking = later;
    lacking.erase("left");
    EXPECT_FALSE(checkedResult(list, packed(std::vector<Entry>{lacking}).get().via.array.ptr[0]));
    Entry wrong = later;
    wrong["attached"] = value(1);
    EXPECT_FALSE(checkedResult(list, packed(std::vector<Entry>{wrong}).get().via.array.ptr[0]));
}

TEST(TerminalInterfaces, DataHeadFollowedByTheDataIsTheWholeNotification) {
    UUID uuid = *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF");
    for (std::size_t size : {0, 1, 255, 256, 65535, 65536, 100000}) {
        SCOPED_TRACE(size);
        Bytes data(size, 'q');
        MessageHead head = encodeDataHead("output", uuid, size);
        std::string joined(head.view().begin(), head.view().end());
        joined.append(data.begin(), data.end());
        EXPECT_EQ(joined, encodeNotification("output", uuid, ByteView(data)));
    }
}
