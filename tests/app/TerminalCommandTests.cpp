#include "AgentProcess.hpp"

#include "protocol/TerminalService.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

namespace veltro::testing {
namespace {

// Runs a shell command line and answers what it printed.
std::string capture(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, count);
    ::pclose(pipe);
    return output;
}

int quietly(const std::string& command) {
    return std::system((command + " </dev/null >/dev/null 2>&1").c_str());
}

// One private tmux server whose only window plays the person's terminal.
class Tmux {
public:
    explicit Tmux(std::string socket) : socket(std::move(socket)) {}
    ~Tmux() { run("kill-server"); }

    int run(const std::string& arguments) {
        return quietly("tmux -S '" + socket + "' " + arguments);
    }
    std::string screen() {
        return capture("tmux -S '" + socket + "' capture-pane -p -t main </dev/null 2>/dev/null");
    }
    bool waitFor(const std::string& text) {
        return eventually([&] { return screen().find(text) != std::string::npos; }, 20000ms);
    }
    void type(const std::string& keys) {
        run("send-keys -t main -l '" + keys + "'");
        run("send-keys -t main Enter");
    }

private:
    std::string socket;
};

TEST(TerminalCommand, RunsAShellInTheTerminalFollowsResizesAndExitsWithTheShellsCode) {
    if (quietly("tmux -V") != 0)
        GTEST_SKIP() << "tmux is not installed";
    TemporaryFolder runtime;
    std::string socketPath = runtime.path() + "/" + TerminalService::machServiceName();
    std::string log = runtime.path() + "/agent.log";
    AgentProcess agent({.environment = {{"XDG_RUNTIME_DIR", runtime.path()}}, .logPath = log});
    ASSERT_TRUE(eventually([&] { return someoneListens(socketPath); })) << readFile(log);

    Tmux tmux(runtime.path() + "/tmux.sock");
    std::string command =
        "env -u TMUX XDG_RUNTIME_DIR=" + runtime.path() + " " + VELTRO_TERMINAL_PATH +
        " --shell /bin/bash --env PS1=ready: --env MARK=m-ok;"
        " echo command-ended-\\$?; echo raw-\\$(stty -a | grep -c -e -icanon); sleep 60";
    ASSERT_EQ(tmux.run("new-session -d -s main -x 100 -y 30 \"" + command + "\""), 0);
    ASSERT_TRUE(tmux.waitFor("ready:")) << tmux.screen() << readFile(log);

    tmux.type("echo out-$((3*4)) $MARK");
    EXPECT_TRUE(tmux.waitFor("out-12 m-ok")) << tmux.screen();

    tmux.type("stty size");
    EXPECT_TRUE(tmux.waitFor("30 100")) << tmux.screen();

    tmux.run("resize-window -t main -x 120 -y 40");
    tmux.type("clear; stty size");
    EXPECT_TRUE(tmux.waitFor("40 120")) << tmux.screen();

    tmux.type("exit 5");
    EXPECT_TRUE(tmux.waitFor("command-ended-5")) << tmux.screen();
    EXPECT_TRUE(tmux.waitFor("raw-0")) << "the terminal was left in raw mode:\n" << tmux.screen();
}

TEST(TerminalCommand, SaysPlainlyWhenNoHelperListens) {
    TemporaryFolder runtime;
    std::string output = capture("XDG_RUNTIME_DIR=" + runtime.path() + " " + VELTRO_TERMINAL_PATH +
                                 " </dev/null 2>&1; echo status-$?");
    EXPECT_NE(output.find("no terminal helper is listening at " + runtime.path()),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("Start one with: veltro-terminal-helper --agent"), std::string::npos);
    EXPECT_NE(output.find("status-1"), std::string::npos) << output;
}

} // namespace
} // namespace veltro::testing
