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
