#include "support/ChildProcess.hpp"
#include "support/ClientRecorder.hpp"
#include "support/Eventually.hpp"
#include "support/TemporaryFolder.hpp"

#include "client/TerminalHelperClient.hpp"
#include "platform/EventLoop.hpp"
#include "platform/FileDescriptor.hpp"
#include "protocol/TerminalService.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace veltro::testing {
namespace {

using ::testing::HasSubstr;

// A program of this build, its standard input a pipe the test types into, its output (both
// streams) in a file. `runtime` is its XDG_RUNTIME_DIR, so it finds the test's agent.
class Program : public ChildProcess {
public:
    Program(const std::string& runtime, const std::string& log, std::vector<std::string> arguments,
            Pipe input = Pipe())
        : ChildProcess(command(runtime, std::move(arguments)), log, input.reading.get()),
          typing_(std::move(input.writing)) {}

    void type(std::string_view text) {
        ASSERT_EQ(::write(typing_.get(), text.data(), text.size()),
                  static_cast<ssize_t>(text.size()));
    }

private:
    static std::vector<std::string> command(const std::string& runtime,
                                            std::vector<std::string> arguments) {
        std::vector<std::string> command{"/usr/bin/env", "XDG_RUNTIME_DIR=" + runtime};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return command;
    }

    FileDescriptor typing_;
};

// The agent of this build with a private runtime folder; veltro-terminal runs against it.
struct Agent {
    TemporaryFolder runtime;
    std::string socket = runtime / TerminalService::socketName();
    std::string log = runtime / "agent.log";
    std::unique_ptr<Program> process = std::make_unique<Program>(
        runtime.path(), log, std::vector<std::string>{VELTRO_HELPER_PATH, "--agent"});
    int runs = 0;

    Agent() {
        if (!eventually([&] { return someoneListens(socket); }))
            throw std::runtime_error("the agent did not listen: " + readFile(log));
    }
    // A termination signal ends the agent and every shell it keeps.
    ~Agent() {
        process->signal(SIGTERM);
        process->exitCode();
    }

    // veltro-terminal with `arguments`; its output goes to a file of its own.
    std::pair<std::unique_ptr<Program>, std::string> terminal(std::vector<std::string> arguments) {
        std::string output = runtime / ("terminal-" + std::to_string(++runs) + ".out");
        arguments.insert(arguments.begin(), VELTRO_TERMINAL_PATH);
        return {std::make_unique<Program>(runtime.path(), output, arguments), output};
    }
    // Runs veltro-terminal to its end with nothing to type; answers its exit code and output.
    std::pair<std::optional<int>, std::string> command(std::vector<std::string> arguments) {
        auto [program, output] = terminal(std::move(arguments));
        auto code = program->exitCode();
        return {code, readFile(output)};
    }
};

bool shows(const std::string& path, const std::string& text) {
    return eventually([&] { return readFile(path).find(text) != std::string::npos; });
}

} // namespace

// One agent keeps a shell of veltro-terminal's, hung up on, and two of the library's client,
// whose ids share a start. The client keeps its connection: the attach takes the shell from it,
// and it goes on from the offset it counted, getting each byte once.
TEST(KeptShellEndToEnd,
     KeptShellsOutliveTheirTerminalAndAreAttachedByAUniqueStartOfTheirIdAndDetachedByTheKey) {
    Agent agent;
    UUID kept = *UUID::parse("aaaa2222-0000-4000-8000-000000000002");
    UUID other = *UUID::parse("aaaa1111-0000-4000-8000-000000000001");
    EventLoop loop;
    ClientRecorder recorder;
    std::atomic<bool> takenOver{false};
    TerminalHelperClient::Handler handler = recorder.handler();
    handler.detached = [&](const UUID& id, const std::string& reason) {
        takenOver = id == kept && reason == "attached elsewhere";
    };
    auto client = TerminalHelperClient::connect(loop, handler, agent.socket);
    for (const UUID& id : {kept, other}) {
        auto opened = client->openShell(id, 80, 24, "/", "/bin/sh", {}, {600, 1 << 20});
        ASSERT_FALSE(opened.error) << *opened.error;
    }
    std::string command = "echo k-$((6*7))\n";
    client->write(kept, Bytes(command.begin(), command.end()));
    ASSERT_TRUE(eventually([&] { return recorder.saw(kept, "k-42"); }));

    auto [first, firstOutput] = agent.terminal({"--keep", "600", "--shell", "/bin/sh"});
    first->type("echo typed-$((2*3))\n");
    ASSERT_TRUE(shows(firstOutput, "typed-6")) << readFile(firstOutput);
    first->signal(SIGHUP);
    EXPECT_EQ(first->exitCode(), 128 + SIGHUP);
    auto [listed, table] = agent.command({"--list"});
    EXPECT_EQ(listed, 0);
    // The client's shells are attached; only the hung-up one waits.
    std::size_t waiting = table.find("  no  ");
    ASSERT_NE(waiting, std::string::npos) << table;
    std::string hungUp = table.substr(table.rfind('\n', waiting) + 1, 36);
    auto [second, secondOutput] = agent.terminal({"--attach", hungUp.substr(0, 6)});
    ASSERT_TRUE(shows(secondOutput, "typed-6")) << readFile(secondOutput);
    second->type("exit 3\n");
    EXPECT_EQ(second->exitCode(), 3) << readFile(secondOutput);
    EXPECT_TRUE(eventually(
        [&] { return agent.command({"--list"}).second.find(hungUp) == std::string::npos; }));

    auto [ambiguous, ambiguousText] = agent.command({"--attach", "aaaa"});
    EXPECT_EQ(ambiguous, 1);
    EXPECT_THAT(ambiguousText, HasSubstr(kept.string()));
    auto [attached, output] = agent.terminal({"--attach", "AAAA2", "--detach-key", "^]"});
    ASSERT_TRUE(shows(output, "k-42")) << readFile(output);
    EXPECT_TRUE(eventually([&] { return takenOver.load(); }));
    attached->type("echo still-$((1+1))\n");
    ASSERT_TRUE(shows(output, "still-2")) << readFile(output);
    attached->type("\x1d");
    EXPECT_EQ(attached->exitCode(), 0) << readFile(output);
    EXPECT_THAT(readFile(output), HasSubstr("detached"));

    std::size_t seen = recorder.output(kept).size();
    ASSERT_EQ(client->offset(kept), static_cast<std::int64_t>(seen));
    auto again = client->attach(kept, client->offset(kept), 80, 24);
    ASSERT_FALSE(again.error) << *again.error;
    EXPECT_EQ(again.offset, static_cast<std::int64_t>(seen));
    ASSERT_TRUE(eventually([&] { return recorder.saw(kept, "still-2"); }));
    std::string missed = recorder.output(kept).substr(seen);
    EXPECT_EQ(missed.find("k-42"), std::string::npos) << missed;
    client->write(kept, Bytes{'e', 'x', 'i', 't', '\n'});
    EXPECT_TRUE(eventually([&] { return recorder.exit(kept).has_value(); }));
}

} // namespace veltro::testing
