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

TEST(TerminalInterfaces, OptionsAreCheckedKeyByKeyAndThoseLeftOutNilOrEmptyOpenAsVersionOne) {
    using Ints = std::map<std::string, std::int64_t>;
    auto problem = [](const msgpack::object_handle& params) {
        return problemOf(Direction::toAgent, "openShell", params).value_or("accepted");
    };
    EXPECT_EQ(problem(openWith(Ints{{"kep", 5}})), "openShell: unknown option \"kep\".");
    EXPECT_EQ(problem(openWith(Ints{{"marks", 1}})),
              "openShell: option \"marks\" must be a boolean.");
    EXPECT_EQ(problem(openWith(std::map<std::string, std::string>{{"integration", "yes"}})),
              "openShell: option \"integration\" must be a boolean.");
    EXPECT_EQ(problem(openWith(std::map<std::string, std::string>{{"keep", "9"}})),
              "openShell: option \"keep\" must be an integer.");
    EXPECT_EQ(problem(openWith(Ints{{"keep", 604801}})),
              "openShell: option \"keep\" must be between 0 and 604800.");
    EXPECT_EQ(problem(openWith(Ints{{"history", -1}})),
              "openShell: option \"history\" must be between 0 and 67108864.");
    EXPECT_EQ(problem(openWith(std::vector<int>{1})), "openShell: options must be a map.");
    EXPECT_EQ(problem(packed(id, 80, 24, "/", nil, Map(), nil, nil)),
              "openShell: expects 6 to 7 params, not 8.");

    auto optionsOf = [&](const msgpack::object_handle& params) {
        EXPECT_EQ(problem(params), "accepted");
        return WireValues(params.get().via.array.ptr, params.get().via.array.size).shellOptions(6);
    };
    EXPECT_EQ(optionsOf(openShell("/", nil, Map())), ShellOptions{});
    EXPECT_EQ(optionsOf(openWith(nil)), ShellOptions{});
    EXPECT_EQ(optionsOf(openWith(Map())), ShellOptions{});
    // A kept shell keeps 1 MiB unless told otherwise, including none at all.
    EXPECT_EQ(optionsOf(openWith(Ints{{"keep", 60}})), (ShellOptions{60, 1024 * 1024}));
    EXPECT_EQ(optionsOf(openWith(Ints{{"keep", 60}, {"history", 0}})), (ShellOptions{60, 0}));
    EXPECT_EQ(optionsOf(openWith(Ints{{"history", 10}})), (ShellOptions{0, 10}));
    ShellOptions marked = optionsOf(openWith(std::map<std::string, bool>{{"marks", true}}));
    EXPECT_EQ(marked, (ShellOptions{0, 0, true, false}));
    EXPECT_TRUE(marked.reportsCommands());
    // Integration emits the marks, so it reports the commands without being told twice.
    ShellOptions integrated =
        optionsOf(openWith(std::map<std::string, bool>{{"marks", false}, {"integration", true}}));
    EXPECT_EQ(integrated, (ShellOptions{0, 0, false, true}));
    EXPECT_TRUE(integrated.reportsCommands());
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
    // History sent even when it is none, and without a keep.
    for (ShellOptions options :
         {ShellOptions{5, 0}, ShellOptions{0, 7}, ShellOptions{0, 0, true, true}}) {
        auto [handle, values] = paramsOf(
            "openShell", encodeRequest(1, "openShell", uuid, std::int64_t{80}, std::int64_t{24},
                                       "/", std::optional<std::string>(), Environment(), options));
        EXPECT_EQ(values.shellOptions(6), options);
    }
    for (std::optional<std::int64_t> from :
         {std::optional<std::int64_t>(), std::optional<std::int64_t>(std::int64_t(1) << 40)}) {
        auto [handle, values] = paramsOf(
            "attach", encodeRequest(2, "attach", uuid, from, std::int64_t{80}, std::int64_t{24}));
        EXPECT_EQ(values.uuid(0), uuid);
        EXPECT_EQ(values.optionalInt64(1), from);
    }
    EXPECT_EQ(paramsOf("list", encodeRequest(3, "list")).second.size(), 0u);
    EXPECT_EQ(paramsOf("commands", encodeRequest(4, "commands", uuid)).second.uuid(0), uuid);
}

TEST(TerminalInterfaces, ListAndCommandsResultsTravelWholeAndKeysOfLaterVersionsAreSkipped) {
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

    // The same entries as maps: a key of a later version is skipped, a missing or mistyped one
    // refuses the whole result.
    msgpack::zone zone;
    auto entries = handle.get().as<std::vector<std::map<std::string, msgpack::object>>>();
    entries[0]["commands"] = msgpack::object(3, zone);
    auto readable = [&](const auto& all) {
        return checkedResult(list, msgpack::object(all, zone)).has_value();
    };
    EXPECT_TRUE(readable(entries));
    auto lacking = entries;
    lacking[1].erase("left");
    EXPECT_FALSE(readable(lacking));
    entries[0]["attached"] = msgpack::object(1, zone);
    EXPECT_FALSE(readable(entries));

    // Every value of a command may be nil; a mistyped one refuses the result.
    const WireMethod& commands = *findMethod(Direction::toAgent, "commands");
    std::vector<CommandInfo> run{{"make \xc3\xa9", 10, 99, 2, 1500},
                                 {std::nullopt, std::nullopt, 120, std::nullopt, std::nullopt}};
    std::string packed = encodeResult(run);
    auto runHandle = msgpack::unpack(packed.data(), packed.size());
    auto runValues = checkedResult(commands, runHandle.get());
    ASSERT_TRUE(runValues);
    EXPECT_EQ(runValues->commands(0), run);
    auto maps = runHandle.get().as<std::vector<std::map<std::string, msgpack::object>>>();
    maps[1]["exitCode"] = msgpack::object("1", zone);
    EXPECT_FALSE(checkedResult(commands, msgpack::object(maps, zone)));
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
