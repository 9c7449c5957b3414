#include "support/AgentProcess.hpp"
#include "support/ClientRecorder.hpp"
#include "support/Eventually.hpp"
#include "support/SSHServer.hpp"
#include "support/TemporaryFolder.hpp"

#include "client/TerminalHelperClient.hpp"
#include "platform/EventLoop.hpp"
#include "protocol/TerminalService.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pwd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

namespace veltro::testing {
namespace {

using ::testing::HasSubstr;

// The agent of this build with a private runtime folder; veltro-terminal runs against it.
struct Agent {
    Runtime runtime;
    std::string socket = runtime.socket;
    AgentProcess process{runtime.log, {{"XDG_RUNTIME_DIR", runtime.folder.path()}}};
    int runs = 0;

    Agent() {
        if (!runtime.listening())
            throw std::runtime_error("the agent did not listen: " + readFile(runtime.log));
    }
    // A termination signal ends the agent and every shell it keeps.
    ~Agent() {
        process.signal(SIGTERM);
        process.exitCode();
    }

    // veltro-terminal with `arguments`, typed into; its output goes to a file of its own.
    std::pair<std::unique_ptr<ChildProcess>, std::string>
    terminal(const std::vector<std::string>& arguments) {
        std::string output = runtime.folder / ("terminal-" + std::to_string(++runs) + ".out");
        return {std::make_unique<ChildProcess>(withJob({{"XDG_RUNTIME_DIR", runtime.folder.path()}},
                                                       VELTRO_TERMINAL_PATH, arguments),
                                               output, true),
                output};
    }
    // Runs veltro-terminal to its end with nothing to type; answers its exit code and output.
    std::pair<std::optional<int>, std::string> command(std::vector<std::string> arguments) {
        auto [ran, output] = terminal(std::move(arguments));
        auto code = ran->exitCode();
        return {code, readFile(output)};
    }
};

bool shows(const std::string& path, const std::string& text) {
    return eventually([&] { return readFile(path).find(text) != std::string::npos; });
}

// The ssh that the process `parent` runs, or 0.
pid_t sshChildOf(pid_t parent) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        // "PID (NAME) STATE PPID ..."; the name may hold anything, so it ends at the last ')'.
        std::string stat = readFile(entry.path() / "stat");
        std::size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos ||
            stat.substr(open + 1, close - open - 1) != "ssh")
            continue;
        char state = 0;
        pid_t ppid = 0;
        std::istringstream(stat.substr(close + 1)) >> state >> ppid;
        if (ppid == parent)
            return std::stoi(entry.path().filename().string());
    }
    return 0;
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

// veltro-terminal reaches the test's agent through a real ssh server as it would another
// host's. A kept shell goes on printing while its ssh is killed: the command reaps that ssh,
// connects again and attaches from where it was, so every line shows exactly once, in order.
TEST(KeptShellEndToEnd, OverSSHAKeptShellSurvivesItsSSHBeingKilledWithEveryLineOnceInOrder) {
    SSHServer server;
    Agent agent;
    auto viaSSH = [&](const std::string& remoteCommand, std::vector<std::string> arguments) {
        for (const auto& option : server.options())
            arguments.insert(arguments.end(), {"--ssh-option", option});
        arguments.insert(arguments.end(),
                         {"--ssh", server.host(), "--remote-command", remoteCommand});
        return arguments;
    };
    std::string proxy =
        "env XDG_RUNTIME_DIR=" + agent.runtime.folder.path() + " " VELTRO_HELPER_PATH " --proxy";

    auto [failed, failure] = agent.command(viaSSH("exit 5", {"--check"}));
    EXPECT_EQ(failed, 1);
    EXPECT_THAT(failure, HasSubstr("ssh to 127.0.0.1 ended (exit status 5)"));

    auto [terminal, output] =
        agent.terminal(viaSSH(proxy, {"--keep", "600", "--shell", "/bin/sh"}));
    terminal->type("echo ready-$((6*7))\n");
    ASSERT_TRUE(shows(output, "ready-42")) << readFile(output);
    // The remote agent's kept shells, through ssh too; its shell starts in the home folder.
    auto [listed, table] = agent.command(viaSSH(proxy, {"--list"}));
    EXPECT_EQ(listed, 0) << table;
    EXPECT_THAT(table, HasSubstr("  yes  "));
    EXPECT_THAT(table, HasSubstr(::getpwuid(::geteuid())->pw_dir));

    terminal->type("i=0; while [ $i -lt 40 ]; do i=$((i+1)); echo line-$i; sleep 0.05; done; "
                   "exit 7\n");
    ASSERT_TRUE(shows(output, "line-5\r\n")) << readFile(output);
    pid_t ssh = sshChildOf(terminal->pid());
    ASSERT_NE(ssh, 0);
    ASSERT_EQ(::kill(ssh, SIGKILL), 0);
    // Reaped, not left a zombie, while the command goes on.
    EXPECT_TRUE(
        eventually([&] { return !std::filesystem::exists("/proc/" + std::to_string(ssh)); }));
    EXPECT_EQ(terminal->exitCode(), 7) << readFile(output);

    std::string text = readFile(output);
    std::string notice =
        "\r\nveltro-terminal: connection to 127.0.0.1 lost; reconnecting\u2026\r\n";
    std::size_t noticed = text.find(notice);
    ASSERT_NE(noticed, std::string::npos) << text;
    text.erase(noticed, notice.size());
    std::size_t previous = 0;
    for (int line = 1; line <= 40; ++line) {
        std::string expected = "line-" + std::to_string(line) + "\r\n";
        std::size_t found = text.find(expected);
        ASSERT_NE(found, std::string::npos) << expected << text;
        EXPECT_GT(found, previous) << expected << text;
        EXPECT_EQ(text.find(expected, found + 1), std::string::npos) << expected << text;
        previous = found;
    }
}

// Marks printed by a plain sh: each notification follows the output up to the byte after it,
// and commands keep their offsets while the shell runs on detached and once it is attached.
TEST(KeptShellEndToEnd, CommandMarksFollowTheirOutputAndOutliveADetachWithTheSameOffsets) {
    Agent agent;
    UUID id = UUID::random();
    EventLoop loop;
    ClientRecorder recorder;
    auto client = TerminalHelperClient::connect(loop, recorder.handler(), agent.socket);
    auto opened = client->openShell(id, 80, 24, "/", "/bin/sh", {}, {600, 1 << 20, true, false});
    ASSERT_FALSE(opened.error) << *opened.error;
    auto type = [&](const std::string& text) {
        client->write(id, Bytes(text.begin(), text.end()));
    };
    const std::string started = "\x1b]133;C\x07", finished = "\x1b]133;D;3\x1b\\";
    type("printf '\\033]133;A\\007\\033]633;E;make\\\\x3b x;n\\007\\033]133;C\\007'; "
         "echo built; printf '\\033]133;D;3\\033\\\\'\n");
    ASSERT_TRUE(eventually([&] { return recorder.marksOf(id).size() == 2; }));
    std::string stream = recorder.output(id);
    auto marks = recorder.marksOf(id);
    auto endsAt = [](const std::string& text, std::int64_t offset, const std::string& mark) {
        return offset <= std::int64_t(text.size()) &&
               std::string_view(text).substr(0, std::size_t(offset)).ends_with(mark);
    };
    EXPECT_TRUE(endsAt(stream, marks[0].offset, started)) << stream;
    EXPECT_TRUE(endsAt(stream, marks[1].offset, finished)) << stream;
    EXPECT_EQ(marks[0].what, "make; x");
    EXPECT_EQ(marks[1].what, "exit 3");
    for (const auto& mark : marks)
        EXPECT_GE(std::int64_t(mark.outputBefore), mark.offset);
    auto commands = client->commands(id);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].commandLine, "make; x");
    EXPECT_EQ(commands[0].started, marks[0].offset);
    EXPECT_EQ(commands[0].finished, marks[1].offset);
    EXPECT_EQ(commands[0].exitCode, 3);

    // The next command waits for a file the test makes once the shell is detached.
    TemporaryFolder folder;
    std::string gate = folder / "gate";
    type("while [ ! -e " + gate +
         " ]; do sleep 0.05; done; printf '\\033]133;C\\007'; "
         "printf '\\033]133;D\\007'\n");
    client->detach(id);
    ASSERT_FALSE(client->list().at(0).attached);
    { std::ofstream(gate).put('\n'); }
    std::size_t before = recorder.output(id).size();
    auto again = client->attach(id, 0, 80, 24);
    ASSERT_FALSE(again.error) << *again.error;
    ASSERT_TRUE(eventually([&] { return client->commands(id).size() == 2; }));
    commands = client->commands(id);
    EXPECT_EQ(commands[0].started, marks[0].offset);
    EXPECT_EQ(commands[0].finished, marks[1].offset);
    EXPECT_EQ(commands[1].exitCode, std::nullopt);
    ASSERT_TRUE(commands[1].finished);
    ASSERT_TRUE(eventually([&] {
        return std::int64_t(recorder.output(id).size() - before) >= *commands[1].finished;
    }));
    std::string replayed = recorder.output(id).substr(before);
    EXPECT_TRUE(endsAt(replayed, *commands[1].started, started)) << replayed;
    EXPECT_TRUE(endsAt(replayed, *commands[1].finished, "\x1b]133;D\x07")) << replayed;
    type("exit\n");
    EXPECT_TRUE(eventually([&] { return recorder.exit(id).has_value(); }));
}

} // namespace veltro::testing
