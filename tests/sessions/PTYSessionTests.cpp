// Sessions, and what they report, live on the event loop: the tests reach them through it.

#include "platform/EventLoop.hpp"
#include "platform/ProcessInfo.hpp"
#include "sessions/LeftoverScan.hpp"
#include "sessions/PTYSession.hpp"
#include "sessions/PTYShellLauncher.hpp"
#include "support/ChildProcess.hpp"
#include "support/Eventually.hpp"
#include "support/ProcessCounts.hpp"
#include "support/TemporaryFolder.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>

using namespace veltro;
using namespace veltro::testing;

namespace {

using Statuses = std::vector<std::int32_t>;

// Made before, so ended after, the launcher the tests share.
EventLoop& loop() {
    static EventLoop loop;
    return loop;
}

template <class Work> auto onLoop(Work&& work) {
    return loop().sync(std::forward<Work>(work));
}

// What a session reported. While withholding, the recorder keeps the `sent` callbacks, so that
// the test decides when each chunk counts as passed on.
struct Recorder {
    std::string output;
    std::vector<std::size_t> chunks;
    std::vector<std::string> folders;
    Statuses exits;
    // For a shell recorded with marks: each command's line, then its exit code and duration.
    struct Command {
        std::optional<std::string> line;
        std::optional<std::int64_t> exitCode;
        std::int64_t milliseconds = -1;
    };
    std::vector<Command> commands;
    // Events of any kind after the first exit, a second exit included: there must be none.
    int afterExit = 0;
    bool withholding = false;
    std::deque<ShellEvents::Sent> withheld;
};
using Recording = std::shared_ptr<Recorder>;

ShellEvents events(const Recording& recorder, bool marks = false) {
    auto next = [recorder] {
        recorder->afterExit += recorder->exits.empty() ? 0 : 1;
        return recorder;
    };
    ShellEvents events{[next](ByteView chunk, ShellEvents::Sent sent) {
                           auto recorder = next();
                           recorder->chunks.push_back(chunk.size());
                           recorder->output.append(chunk.begin(), chunk.end());
                           if (recorder->withholding)
                               recorder->withheld.push_back(std::move(sent));
                           else
                               sent();
                       },
                       [next](std::string folder) { next()->folders.push_back(std::move(folder)); },
                       [next](std::int32_t status) { next()->exits.push_back(status); },
                       {},
                       {}};
    if (!marks)
        return events;
    events.commandStarted = [next](std::int64_t, const std::optional<std::string>& line) {
        next()->commands.push_back({line, {}, -1});
    };
    events.commandFinished = [next](std::int64_t, std::optional<std::int64_t> exitCode,
                                    std::int64_t milliseconds) {
        auto recorder = next();
        if (recorder->commands.empty() || recorder->commands.back().milliseconds >= 0)
            recorder->commands.emplace_back();
        recorder->commands.back().exitCode = exitCode;
        recorder->commands.back().milliseconds = milliseconds;
    };
    return events;
}

Recorder seen(const Recording& recorder) {
    return onLoop([&] { return *recorder; });
}

bool waitFor(const Recording& recorder, const std::function<bool(const Recorder&)>& condition) {
    return eventually([&] { return onLoop([&] { return condition(*recorder); }); });
}

bool waitForText(const Recording& recorder, const std::string& text) {
    return waitFor(
        recorder, [&](const Recorder& seen) { return seen.output.find(text) != seen.output.npos; });
}

Statuses exitsOnceEnded(const Recording& recorder) {
    waitFor(recorder, [](const Recorder& seen) { return !seen.exits.empty(); });
    return seen(recorder).exits;
}

// Passes on `count` withheld chunks and any that come until then, or all of them for good.
void acknowledge(const Recording& recorder, std::size_t count = SIZE_MAX) {
    onLoop([&] {
        recorder->withholding = count != SIZE_MAX;
        for (; count > 0 && !recorder->withheld.empty(); --count) {
            recorder->withheld.front()();
            recorder->withheld.pop_front();
        }
    });
}

const Environment environment = {{"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"LANG", "C.UTF-8"}};

// What the launcher would run for `shell`, or `arguments` with the same environment and folder.
ShellCommand command(const std::string& shell, std::vector<std::string> arguments = {},
                     const std::string& folder = "/") {
    ShellCommand command(shell, folder, UserAccount{"tester", "/", "/bin/sh"}, environment, {}, "",
                         ShellCommand::isFolder, ShellCommand::localeExists);
    if (!arguments.empty())
        command.arguments = std::move(arguments);
    return command;
}

ShellCommand script(const std::string& text, const std::string& folder = "/") {
    return command("/bin/sh", {"sh", "-c", text}, folder);
}

using Session = std::shared_ptr<ShellSession>;
using Shell = std::pair<Session, Recording>;

// Begins a launch on the loop and waits for the session, or the error, it ends in.
template <class Begin> std::pair<Session, std::string> await(Begin&& begin) {
    std::promise<std::pair<Session, std::string>> outcome;
    onLoop([&] {
        begin([&outcome](auto session) {
            if (session)
                outcome.set_value({std::move(*session), {}});
            else
                outcome.set_value({nullptr, std::move(session.error())});
        });
    });
    return outcome.get_future().get();
}

Shell start(const ShellCommand& command, bool withhold = false) {
    // One launcher for all, as in the agent, so that closes in one turn share a scan.
    static PTYShellLauncher launcher(loop(), UserAccount{"tester", "/", "/bin/sh"}, environment);
    auto recorder = std::make_shared<Recorder>();
    recorder->withholding = withhold;
    auto begin = [&](auto started) { launcher.start(command, 80, 24, events(recorder), started); };
    return {await(begin).first, recorder};
}

void send(const Session& session, std::string_view text) {
    onLoop([&] { session->write(Bytes(text.begin(), text.end())); });
}

// Lets go of the session and waits until nothing holds it any more.
bool released(Session& session) {
    std::weak_ptr<ShellSession> weak = session;
    onLoop([&] { session.reset(); });
    return eventually([&] { return weak.expired(); });
}

// Lets the loop run what is queued: a read that should not have been issued would have ended.
void letTheLoopTurn() {
    for (int turn = 0; turn < 10; ++turn)
        onLoop([] {});
}

// A shell reaped while its four chunks of output are withheld, a fifth still unread: each part
// waits for a line of input, so that each becomes a chunk of its own.
Shell reapedBehindFourChunks() {
    auto [session, recorder] = start(
        script(
            "stty -echo; for i in 1 2 3 4; do printf \"c$i.\"; read x; done; printf c5.; exit 3"),
        true);
    for (int part = 1; part <= 4 && waitForText(recorder, "c" + std::to_string(part) + "."); ++part)
        send(session, "\n");
    std::string proc = "/proc/" + std::to_string(session->pid());
    if (!eventually([&] { return !std::filesystem::exists(proc); }))
        return {};
    return {session, recorder};
}

// The process whose id the shell printed first, as <pid>.
std::optional<ProcessHandle> printedProcess(const Recording& recorder) {
    std::string output = seen(recorder).output;
    return ProcessHandle::open(std::stoi(output.substr(output.find('<') + 1)));
}

// Whether the process runs: not gone, and not a zombie waiting for its parent to collect it.
bool running(pid_t pid) {
    std::string fields = readFile("/proc/" + std::to_string(pid) + "/stat");
    return !fields.empty() && fields[fields.rfind(')') + 2] != 'Z';
}

bool ended(const ProcessHandle& process) {
    return eventually([&] { return !process.exists() || !running(process.pid()); });
}

int liveInSession(pid_t session) {
    const ProcessInfo::Attachment attachment[] = {{session, 0}};
    int live = 0;
    auto listed = ProcessInfo::attachedProcesses(attachment);
    for (const ProcessInfo::Listed& process : listed[0])
        live += running(process.pid);
    return live;
}

std::string resolved(const std::string& path) {
    return std::filesystem::canonical(path).string();
}

} // namespace

// ---- Output, input and exit

TEST(PTYSession, InputPastTheBacklogLimitAndOutputPastFourChunksInFlightArriveWholeAndInOrder) {
    constexpr std::size_t size = 3 * PTYSession::inputBacklogLimit;
    // Raw, so that the terminal passes every byte unchanged both ways. The program writes back
    // what it reads, so while its output is withheld it stops reading and the input backs up.
    auto [session, recorder] = start(script("stty raw -echo -iexten && printf ready && head -c " +
                                            std::to_string(size) + " && printf done"),
                                     true);
    ASSERT_TRUE(waitForText(recorder, "ready"));
    // In an order that a lost, doubled or swapped part would disturb.
    std::string data(size, '\0');
    for (std::size_t index = 0; index < size; ++index)
        data[index] = static_cast<char>((index * 7919) ^ (index >> 16));
    auto drained = std::make_shared<bool>(false);
    bool alwaysAccepted = onLoop([&] {
        bool accepted = true;
        // Parts of every size, each queued behind the ones before while the terminal is full.
        for (std::size_t offset = 0, part = 1; offset < size;
             offset += part, part = part * 3 % 65521 + 1) {
            std::string_view piece = std::string_view(data).substr(offset, part);
            accepted = session->write(Bytes(piece.begin(), piece.end())) && accepted;
        }
        session->whenInputDrained([drained] { *drained = true; });
        return accepted;
    });
    EXPECT_FALSE(alwaysAccepted);
    EXPECT_FALSE(onLoop([&] { return *drained; }));
    for (std::size_t chunks : {4u, 5u}) {
        ASSERT_TRUE(
            waitFor(recorder, [&](const Recorder& seen) { return seen.chunks.size() >= chunks; }));
        letTheLoopTurn();
        EXPECT_EQ(seen(recorder).chunks.size(), chunks);
        acknowledge(recorder, 1);
    }
    acknowledge(recorder);
    EXPECT_EQ(exitsOnceEnded(recorder), Statuses{0});
    EXPECT_TRUE(onLoop([&] { return *drained; }));
    EXPECT_TRUE(seen(recorder).output == "ready" + data + "done");
    for (std::size_t chunk : seen(recorder).chunks)
        EXPECT_TRUE(chunk > 0 && chunk <= PTYSession::readBufferSize) << chunk;
    EXPECT_TRUE(released(session));
}

TEST(PTYSession, ExitIsReportedOnceAfterTheLastOutputWithTheRawWaitStatus) {
    // Reaped while four chunks wait for acknowledgement: the rest is read once they have been.
    auto [reaped, heldBack] = reapedBehindFourChunks();
    ASSERT_TRUE(reaped);
    letTheLoopTurn();
    EXPECT_TRUE(seen(heldBack).exits.empty());
    acknowledge(heldBack);
    EXPECT_EQ(exitsOnceEnded(heldBack), Statuses{3 << 8});
    EXPECT_TRUE(released(reaped));
    EXPECT_EQ(seen(heldBack).output, "c1.c2.c3.c4.c5.");
    EXPECT_EQ(seen(heldBack).afterExit, 0);
    // The end of the shell and its last output race each other.
    for (int round = 0; round < 20; ++round) {
        auto [session, recorder] = start(script("stty -opost; printf last; kill -TERM $$"));
        EXPECT_EQ(exitsOnceEnded(recorder), Statuses{SIGTERM});
        EXPECT_TRUE(released(session));
        EXPECT_EQ(seen(recorder).output, "last");
        EXPECT_EQ(seen(recorder).afterExit, 0);
    }
    // A job ignoring the hang-up keeps the terminal from reaching end of file while it lives.
    auto [session, withJob] = start(script("trap '' HUP; sleep 1000 & printf '<%s>' $!; exit 4"));
    ASSERT_TRUE(waitForText(withJob, ">"));
    auto job = printedProcess(withJob);
    ASSERT_TRUE(job);
    EXPECT_EQ(exitsOnceEnded(withJob), Statuses{4 << 8});
    EXPECT_TRUE(job->exists());
    job->signal(SIGKILL);
    EXPECT_TRUE(ended(*job));
}

// ---- Questions about the shell

TEST(PTYSession, FolderIsProbedUntilTheShellReportsItAndTheForegroundProgramIsNamed) {
    TemporaryFolder temporary;
    for (const char* name : {"real", "other", "reported"})
        std::filesystem::create_directory(temporary / name);
    std::filesystem::create_directory_symlink(temporary / "other", temporary / "link");
    std::filesystem::create_directory_symlink(temporary / "real", temporary / "start");
    // Started through a link: the probe's answer, links resolved, is no change.
    auto [session, recorder] = start(command("/bin/dash", {}, temporary / "start"));
    auto currentFolder = [&] { return onLoop([&] { return session->currentFolder(); }); };
    send(session, "printf '<%s>' ready\n");
    ASSERT_TRUE(waitForText(recorder, "<ready>"));
    EXPECT_EQ(currentFolder(), resolved(temporary / "real"));
    send(session, "cd ../link\n");
    ASSERT_TRUE(waitFor(recorder, [](const Recorder& seen) { return !seen.folders.empty(); }));
    EXPECT_EQ(seen(recorder).folders, std::vector{resolved(temporary / "other")});
    // The question asks the kernel each time.
    send(session, "cd /usr\n");
    EXPECT_TRUE(eventually([&] { return currentFolder() == "/usr"; }));

    // Of two reports in one piece of output only the last counts, and from then on only reports
    // do: neither a later move for longer than the quiet delay nor a repeated report counts.
    std::string reported = resolved(temporary / "reported");
    send(session, "printf '\\033]7;file://h/elsewhere\\007\\033]7;file://h%s\\007' '" + reported +
                      "'; cd /; sleep 0.5; printf '\\033]7;file://h%s\\007<%s>' '" + reported +
                      "' again\n");
    ASSERT_TRUE(waitForText(recorder, "<again>"));
    EXPECT_EQ(currentFolder(), reported);
    std::vector<std::string> changes = seen(recorder).folders;
    EXPECT_EQ(changes.back(), reported);
    EXPECT_EQ(std::count(changes.begin(), changes.end(), reported), 1);

    // The program holding the terminal: a command, then a pipeline by its leader's name, then
    // one whose leader has gone by its first remaining member's.
    auto holds = [&](const ForegroundProcess& expected) {
        return eventually(
            [&] { return onLoop([&] { return session->foregroundProcess(); }) == expected; });
    };
    EXPECT_TRUE(holds({}));
    for (const char* line : {"sleep 1000\n", "sleep 1000 | cat\n", "true | sleep 1000\n"}) {
        send(session, line);
        EXPECT_TRUE(holds({true, "sleep"})) << line;
        send(session, "\x03");
        EXPECT_TRUE(holds({})) << line;
    }
    send(session, "exit 0\n");
    EXPECT_EQ(exitsOnceEnded(recorder), Statuses{0});
    EXPECT_EQ(currentFolder(), std::nullopt);
    EXPECT_EQ(onLoop([&] { return session->foregroundProcess(); }), ForegroundProcess{});
}

// ---- Close

// Every state a session can be closed in, side by side and closed in one turn of the loop, so
// that they share one scan for leftovers and one wait for the forced kill.
TEST(PTYSession, CloseHangsUpKillsWhatIgnoresItAndEndsEachOfManySessionsOnceLeavingNothing) {
    // One whole session first, so that what the process sets up on first use is there.
    EXPECT_EQ(exitsOnceEnded(start(script("exit 0")).second), Statuses{0});
    ASSERT_TRUE(eventually([] { return childProcesses() == 0; }));
    int descriptorsBefore = openDescriptors();
    // A deque, so that the names given to the first shells stay valid as more are added.
    std::deque<Shell> shells;

    // A job in the foreground, which the hang-up reaches along with the shell.
    auto& [foreground, hungUp] = shells.emplace_back(start(command("/bin/bash")));
    send(foreground, "sleep 1000\n");
    ASSERT_TRUE(
        eventually([&] { return onLoop([&] { return foreground->foregroundProcess().busy; }); }));
    auto foregroundJob =
        ProcessHandle::open(ProcessInfo::stat(foreground->pid())->terminalProcessGroup);
    // A shell ignoring the hang-up, with jobs in groups of their own ignoring it too, more than
    // descriptors are free for the listing and more forked after it: only the forced kill of
    // the shell's session reaches them all.
    auto& [ignoring, killed] = shells.emplace_back(start(command(
        "/bin/bash", {"bash", "-c",
                      "trap '' HUP; set -m; sleep 100 & printf '<%s>' $!; for i in $(seq 30); do "
                      "sleep 100 & done; for i in $(seq 200); do sleep 100 & sleep 0.05; done"})));
    ASSERT_TRUE(waitForText(killed, ">"));
    pid_t ignoringSession = ignoring->pid();
    auto backgroundJob = printedProcess(killed);
    ASSERT_TRUE(foregroundJob && backgroundJob);
    EXPECT_NE(ProcessInfo::stat(backgroundJob->pid())->processGroup, ignoring->pid());
    // A shell cleaning up after the hang-up is given that moment, however often it is closed.
    auto& [graceful, cleanedUp] = shells.emplace_back(start(
        command("/bin/bash",
                {"bash", "-c", "trap 'sleep 0.2; exit 7' HUP; printf ready; sleep 1000 & wait"})));
    ASSERT_TRUE(waitForText(cleanedUp, "ready"));
    // Reaped while four chunks are withheld: what it wrote last is given up with the terminal.
    auto& [reaped, withheld] = shells.emplace_back(reapedBehindFourChunks());
    ASSERT_TRUE(reaped);
    // Many more: an interactive shell that exits, a script that ends by itself, an idle shell.
    for (int index = 0; index < 150; ++index) {
        auto& [session, recorder] = shells.emplace_back(
            start(index % 3 == 1 ? script("printf bye") : command("/bin/dash")));
        ASSERT_TRUE(session);
        if (index % 3 == 0)
            send(session, "echo hello; exit\n");
    }

    // Input nothing reads is dropped with the terminal, and whoever waits for it is let go.
    auto drained = std::make_shared<bool>(false);
    rlimit limit = leaveFreeDescriptors(8);
    onLoop([&] {
        EXPECT_FALSE(ignoring->write(Bytes(2 * PTYSession::inputBacklogLimit, 'x')));
        ignoring->whenInputDrained([drained] { *drained = true; });
        for (auto& [session, recorder] : shells) {
            session->close();
            session->close();
        }
    });
    for (auto& [session, recorder] : shells)
        EXPECT_EQ(exitsOnceEnded(recorder).size(), 1u);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_TRUE(onLoop([&] { return *drained; }));
    // A raw wait status of a shell killed by a signal is that signal.
    EXPECT_EQ(seen(hungUp).exits, Statuses{SIGHUP});
    EXPECT_EQ(seen(killed).exits, Statuses{SIGKILL});
    EXPECT_EQ(seen(cleanedUp).exits, Statuses{7 << 8});
    EXPECT_EQ(seen(withheld).exits, Statuses{3 << 8});
    EXPECT_EQ(seen(withheld).output, "c1.c2.c3.c4.");
    acknowledge(withheld);
    for (auto& [session, recorder] : shells) {
        onLoop([&] {
            session->close();
            EXPECT_TRUE(session->write(Bytes{'x', '\n'}));
            session->resize(10, 10);
        });
        EXPECT_TRUE(released(session));
        EXPECT_EQ(seen(recorder).afterExit, 0);
    }
    EXPECT_TRUE(ended(*foregroundJob) && ended(*backgroundJob));
    EXPECT_TRUE(eventually([&] { return liveInSession(ignoringSession) == 0; }))
        << liveInSession(ignoringSession);
    foregroundJob.reset();
    backgroundJob.reset();
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    EXPECT_EQ(childProcesses(), 0);
}

// A shell's pid, passed on after its session emptied, may lead a new session: what is in that
// one is spared, while a session its own shell still leads is scanned as before.
TEST(LeftoverScan, SessionLedByAnotherProcessWithTheShellsPidIsSpared) {
    // Not a group leader once forked, setsid(1) starts the session in its own process.
    ChildProcess shell({"/usr/bin/setsid", "/bin/sh", "-c", "sleep 100 & wait"}, "/dev/null");
    pid_t leader = shell.pid();
    ASSERT_TRUE(eventually([&] { return liveInSession(leader) == 2; }));
    std::uint64_t started = ProcessInfo::stat(leader)->startTime;
    auto scan = std::make_shared<LeftoverScan>(loop());
    auto found = std::make_shared<std::vector<std::size_t>>();
    onLoop([&] {
        for (std::uint64_t startTime : {started, started + 1})
            scan->request({leader, startTime}, {leader, 0},
                          [found](std::vector<ProcessHandle> leftovers) {
                              found->push_back(leftovers.size());
                          });
    });
    ASSERT_TRUE(eventually([&] { return onLoop([&] { return found->size() == 2; }); }));
    EXPECT_EQ(*found, (std::vector<std::size_t>{1, 0}));
    ::kill(-leader, SIGKILL);
}

// ---- Launch

namespace {

// The number after `field` in a /proc status or limits file, in the given base.
std::uint64_t field(const std::string& path, const std::string& field, int base) {
    std::string text = readFile(path);
    return std::stoull(text.substr(text.find(field) + field.size()), nullptr, base);
}

// Changes the signal mask of the loop's worker, which spawns the shells.
void maskOnWorker(int how, const sigset_t& signals) {
    std::promise<void> done;
    loop().offload([how, signals] { pthread_sigmask(how, &signals, nullptr); },
                   [&done] { done.set_value(); });
    done.get_future().wait();
}

std::pair<int, int> windowSize(const std::string& tty) {
    FileDescriptor terminal(::open(tty.c_str(), O_RDONLY | O_NOCTTY));
    winsize size{};
    ::ioctl(terminal.get(), TIOCGWINSZ, &size);
    return {size.ws_col, size.ws_row};
}

Shell launch(PTYShellLauncher& launcher, const ShellRequest& request) {
    auto recorder = std::make_shared<Recorder>();
    auto begin = [&](auto launched) {
        launcher.launch(request, events(recorder, request.integration), launched);
    };
    return {await(begin).first, recorder};
}

} // namespace

TEST(PTYSession, ProgramGetsTheTerminalAsControllingTerminalAndNothingElseOfTheAgent) {
    TemporaryFolder temporary;
    std::filesystem::create_directory(temporary / "real");
    std::filesystem::create_directory_symlink(temporary / "real", temporary / "link");
    PTYShellLauncher launcher(loop(), UserAccount{"tester", temporary.path(), "/bin/sh"},
                              environment);
    launcher.descriptorLimit = 200;
    // cat keeps the signals and descriptors the spawn gave it, spawned from the agent's worst
    // state: signals blocked and ignored, and a descriptor open without close-on-exec.
    ShellRequest request{{}, -5, 100000, temporary / "link", "/bin/cat", {}};
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : {SIGUSR1, SIGTERM, SIGRTMIN + 3})
        sigaddset(&blocked, signal);
    auto hangUp = std::signal(SIGHUP, SIG_IGN), realTime = std::signal(SIGRTMAX, SIG_IGN);
    maskOnWorker(SIG_BLOCK, blocked);
    FileDescriptor leaked(::open("/dev/null", O_RDONLY));
    auto [session, recorder] = launch(launcher, request);
    maskOnWorker(SIG_UNBLOCK, blocked);
    std::signal(SIGRTMAX, realTime);
    std::signal(SIGHUP, hangUp);
    ASSERT_TRUE(session);
    pid_t pid = session->pid();
    std::string proc = "/proc/" + std::to_string(pid);

    // What the spawn gave shows once cat waits in its first read of standard input.
    ASSERT_TRUE(eventually([&] { return readFile(proc + "/syscall").starts_with("0 0x0 "); }));
    std::string tty = std::filesystem::read_symlink(proc + "/fd/0");
    std::set<std::string> descriptors;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
        descriptors.insert(entry.path().filename());
        EXPECT_EQ(std::filesystem::read_symlink(entry), tty) << entry.path();
    }
    EXPECT_EQ(descriptors, (std::set<std::string>{"0", "1", "2"}));
    struct stat terminal {};
    ASSERT_EQ(::stat(tty.c_str(), &terminal), 0);
    auto stat = ProcessInfo::stat(pid);
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->session, pid);
    EXPECT_EQ(stat->terminal, terminal.st_rdev);
    EXPECT_EQ(stat->terminalProcessGroup, pid);
    // Of signals 1 to 31 and SIGRTMIN to SIGRTMAX, one bit each, none is blocked or ignored.
    std::uint64_t usable = (1ull << 31) - 1;
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        usable |= 1ull << (signal - 1);
    EXPECT_EQ(field(proc + "/status", "SigBlk:", 16) & usable, 0u);
    EXPECT_EQ(field(proc + "/status", "SigIgn:", 16) & usable, 0u);
    EXPECT_EQ(field(proc + "/limits", "Max open files", 10), 200u);
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/cwd"), resolved(temporary / "real"));
    ShellCommand expected(request.shell, request.folder, launcher.account, environment, {}, "",
                          ShellCommand::isFolder, ShellCommand::localeExists);
    std::string variables;
    for (const auto& [key, value] : expected.environment)
        variables += key + "=" + value + '\0';
    EXPECT_EQ(readFile(proc + "/environ"), variables);

    // Window sizes out of range are clamped, at the start and on resize.
    EXPECT_EQ(windowSize(tty), std::pair(1, 65535));
    onLoop([&] { session->resize(70000, 0); });
    EXPECT_EQ(windowSize(tty), std::pair(65535, 1));
    // An end of file ends cat, and with it the session, without the wait for a forced kill.
    send(session, "\x04");
    EXPECT_EQ(exitsOnceEnded(recorder), Statuses{0});
    EXPECT_TRUE(released(session));
}

TEST(PTYShellLauncher, RefusedLaunchExplainsItselfAndLeavesNoDescriptorProcessOrEvent) {
    EXPECT_EQ(exitsOnceEnded(start(script("exit 0")).second), Statuses{0});
    ASSERT_TRUE(eventually([] { return childProcesses() == 0; }));
    ShellCommand inMissingFolder = script("");
    inMissingFolder.folder = "/nonexistent";
    PTYShellLauncher launcher(loop(), UserAccount{"tester", "/", "/bin/sh"}, {});
    const std::tuple<ShellCommand, int, std::string> cases[] = {
        {command("/nonexistent/shell"), -1, "start /nonexistent/shell: No such file or directory"},
        {inMissingFolder, -1, "start /bin/sh: No such file or directory"},
        // Out of descriptors before the terminal, and once the shell has been spawned.
        {script("sleep 1000"), 0, "open a terminal: Too many open files"},
        {script("sleep 1000"), 2, "start /bin/sh: Too many open files"},
    };
    int descriptorsBefore = openDescriptors();
    for (const auto& [command, freeDescriptors, error] : cases) {
        auto recorder = std::make_shared<Recorder>();
        std::optional<rlimit> limit;
        auto [session, explained] = await([&](auto launched) {
            if (freeDescriptors >= 0)
                limit = leaveFreeDescriptors(freeDescriptors);
            launcher.start(command, 80, 24, events(recorder), launched);
        });
        if (limit)
            ::setrlimit(RLIMIT_NOFILE, &*limit);
        EXPECT_FALSE(session);
        EXPECT_EQ(explained, "Couldn\u2019t " + error);
        EXPECT_EQ(openDescriptors(), descriptorsBefore) << error;
        EXPECT_EQ(childProcesses(), 0) << error;
        EXPECT_TRUE(seen(recorder).exits.empty() && seen(recorder).chunks.empty());
    }
}

class RealShell : public ::testing::TestWithParam<std::string> {};

TEST_P(RealShell, LoginShellRunsOnItsTerminalWithTheRequestedSizeInHomeWhenAskedForAFile) {
    TemporaryFolder temporary;
    // zsh would otherwise greet a new user with its set-up menu.
    std::ofstream(temporary / ".zshrc") << "";
    PTYShellLauncher launcher(loop(), UserAccount{"tester", temporary.path(), "/bin/" + GetParam()},
                              environment);
    // Asked to start in a file, which is no folder, the shell starts in its home.
    auto [session, recorder] = launch(launcher, {{}, 100, 30, temporary / ".zshrc", {}, {}});
    ASSERT_TRUE(session);
    send(session, "printf '<%s|%s|%s|%s>\\n' \"$0\" \"$(stty size)\" \"$(pwd -P)\" "
                  "\"$(stty -a | grep -o -e '-*iutf8')\"\n");
    EXPECT_TRUE(waitForText(recorder, "<-" + GetParam() + "|30 100|" + resolved(temporary.path()) +
                                          "|iutf8>"))
        << seen(recorder).output;
    send(session, "exit 5\n");
    EXPECT_EQ(exitsOnceEnded(recorder), Statuses{5 << 8});
}

INSTANTIATE_TEST_SUITE_P(Shells, RealShell, ::testing::Values("bash", "dash", "zsh"),
                         [](const auto& info) { return info.param; });

namespace {

// A login shell's start-up files of the user's, what they must print, and what they must not.
struct UserFiles {
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> printed;
    std::vector<std::string> notPrinted;
};

UserFiles userFiles(const std::string& shell, const std::string& zdotdir) {
    if (shell == "bash")
        // A login bash reads the first of its profiles, which here does not read ~/.bashrc.
        return {{{".bash_profile", "echo profile-read\nPS1='user> '\n"
                                   "alias hello='echo user alias'\n"
                                   "PROMPT_COMMAND='echo \"hook $?\"'\n"},
                 {".profile", "echo profile-too\n"},
                 {".bashrc", "echo bashrc-read\n"}},
                {"profile-read"},
                {"profile-too", "bashrc-read"}};
    if (shell == "zsh")
        return {{{zdotdir + "/.zshenv", "echo \"zshenv saw $ZDOTDIR\"\n"},
                 {zdotdir + "/.zshrc", "PS1='user> '\nalias hello='echo user alias'\n"
                                       "precmd() { echo \"hook $?\" }\n"},
                 {zdotdir + "/.zlogin", "echo zlogin-read\n"}},
                {"zshenv saw " + zdotdir, "zlogin-read"},
                {}};
    return {{{".config/fish/config.fish",
              "function fish_prompt; echo -n 'user> '; end\nalias hello 'echo user alias'\n"
              "function hook --on-event fish_postexec; echo \"hook $status\"; end\n"}},
            {},
            {}};
}

} // namespace

class IntegratedShell : public ::testing::TestWithParam<std::string> {};

TEST_P(IntegratedShell, ReportsPromptCommandsExitCodesAndFolderKeepingTheUsersFilesHooksAndStatus) {
    const std::string& shell = GetParam();
    bool fish = shell == "fish";
    TemporaryFolder home;
    std::string zdotdir = home / "zdot";
    Environment base = environment;
    if (shell == "zsh")
        base["ZDOTDIR"] = zdotdir;
    UserFiles user = userFiles(shell, zdotdir);
    for (const auto& [name, text] : user.files) {
        std::filesystem::path file = name.starts_with('/') ? name : home / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    std::string folder = "a b%\u00e9";
    std::filesystem::create_directory(home / folder);
    PTYShellLauncher launcher(loop(), UserAccount{"tester", home.path(), "/usr/bin/" + shell},
                              base);
    launcher.integrationScripts = VELTRO_BUILT_INTEGRATION_SCRIPTS;
    ShellRequest request{{}, 200, 24, home.path(), {}, {}};
    request.integration = true;
    auto [session, recorder] = launch(launcher, request);
    ASSERT_TRUE(session);
    ASSERT_TRUE(waitForText(recorder, "\x1b]133;A\auser> \x1b]133;B\a")) << seen(recorder).output;

    std::string status = fish ? "$status" : "$?";
    std::string exitSeven = fish ? "sh -c 'exit 7'" : "(exit 7)";
    // Each command line must come back as typed, whatever needs escaping on the way.
    const std::pair<std::string, std::int64_t> commands[] = {
        {"true | false", 1},
        {exitSeven, 7},
        {"echo \"after: " + status + "\"", 0},
        {"false; echo \"then: " + status + "\"", 0},
        {"printf '%s\\n' 'a;b\\c'", 0},
        {"echo 'one\ntwo'", 0},
        {"hello", 0},
        {"cd '" + folder + "'", 0},
        {"env | awk '/VELTRO|ZDOTDIR|XDG_DATA_DIRS/ {s = s $0 \" \"} END {print \"<env \" s "
         "\">\"}'",
         0},
    };
    for (const auto& [line, exitCode] : commands) {
        std::size_t finished = seen(recorder).commands.size();
        send(session, line + "\n");
        ASSERT_TRUE(waitFor(recorder,
                            [&](const Recorder& seen) {
                                return seen.commands.size() > finished &&
                                       seen.commands.back().milliseconds >= 0;
                            }))
            << line << "\n"
            << seen(recorder).output;
        Recorder::Command command = seen(recorder).commands.back();
        EXPECT_EQ(command.line, line);
        EXPECT_EQ(command.exitCode, exitCode) << line;
    }
    std::string output = seen(recorder).output;
    user.printed.insert(user.printed.end(),
                        {"after: 7", "then: 1", "a;b\\c", "user alias", "hook 1"});
    for (const std::string& text : user.printed)
        EXPECT_NE(output.find(text), std::string::npos) << text << "\n" << output;
    for (const std::string& text : user.notPrinted)
        EXPECT_EQ(output.find(text), std::string::npos) << text << "\n" << output;
    // Nothing of the way in is left, and zsh has the user's ZDOTDIR back.
    EXPECT_NE(output.find(shell == "zsh" ? "<env ZDOTDIR=" + zdotdir + " >" : "<env >"),
              std::string::npos)
        << output;
    std::vector<std::string> folders = seen(recorder).folders;
    EXPECT_NE(std::find(folders.begin(), folders.end(), resolved(home / folder)), folders.end())
        << output;
    send(session, "exit\n");
    EXPECT_EQ(exitsOnceEnded(recorder), Statuses{0});
}

INSTANTIATE_TEST_SUITE_P(Shells, IntegratedShell, ::testing::Values("bash", "zsh", "fish"),
                         [](const auto& info) { return info.param; });
