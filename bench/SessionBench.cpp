// How fast one shell's output moves, and how soon a keystroke's echo comes back, through a
// session compared with a bare read loop on a pseudo-terminal of the same machine.

#include "Bench.hpp"

#include "platform/FileDescriptor.hpp"
#include "sessions/PTYSession.hpp"
#include "sessions/ShellCommand.hpp"
#include "sessions/UserAccount.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace veltro::bench {

namespace {

// The processor time of this whole process so far, every thread included and no child.
double processorSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One burst: how long it took, and how much processor time its reader spent on it. On a busy
// machine the second is the steadier figure, as it leaves out the time spent waiting for a
// processor.
Environment processEnvironment() {
    Environment environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string_view text(*entry);
        auto equals = text.find('=');
        if (equals != std::string_view::npos)
            environment.emplace(text.substr(0, equals), text.substr(equals + 1));
    }
    return environment;
}

// The same script for both sides, so that they differ only in who reads the terminal.
std::vector<std::string> burstScript(std::size_t bytes) {
    return {"sh", "-c", "stty raw -echo; exec head -c " + std::to_string(bytes) + " /dev/zero"};
}

std::vector<std::string> echoScript() {
    return {"sh", "-c", "stty raw -echo; printf R; exec cat"};
}

ShellCommand command(std::vector<std::string> arguments) {
    ShellCommand command(std::string("/bin/sh"), "/", UserAccount::current(), processEnvironment(),
                         {}, "", ShellCommand::isFolder, ShellCommand::localeExists);
    command.arguments = std::move(arguments);
    return command;
}

// A script on a terminal of its own, read by nothing but this benchmark.
struct BareTerminal {
    explicit BareTerminal(const std::vector<std::string>& arguments) {
        int masterFD = -1;
        int slaveFD = -1;
        winsize size{24, 80, 0, 0};
        if (::openpty(&masterFD, &slaveFD, nullptr, nullptr, &size) != 0)
            throw std::runtime_error("openpty failed");
        master.reset(masterFD);
        FileDescriptor slave(slaveFD);
        ::fcntl(masterFD, F_SETFD, FD_CLOEXEC);

        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        for (int target = 0; target < 3; ++target)
            posix_spawn_file_actions_adddup2(&files, slaveFD, target);
        posix_spawn_file_actions_addclosefrom_np(&files, 3);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        std::vector<char*> argv;
        std::vector<std::string> storage = arguments;
        for (std::string& argument : storage)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int error = ::posix_spawn(&child, "/bin/sh", &files, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&files);
        if (error != 0)
            throw std::runtime_error("posix_spawn failed");
    }

    ~BareTerminal() {
        master.reset();
        if (child <= 0)
            return;
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }

    FileDescriptor master;
    pid_t child = -1;
};

} // namespace

Burst bareBurst(std::size_t bytes) {
    double processorStart = processorSeconds();
    auto start = Clock::now();
    BareTerminal terminal(burstScript(bytes));
    std::vector<std::uint8_t> buffer(PTYSession::readBufferSize);
    std::size_t received = 0;
    for (;;) {
        ssize_t count = ::read(terminal.master.get(), buffer.data(), buffer.size());
        if (count <= 0)
            break;
        received += static_cast<std::size_t>(count);
    }
    if (received != bytes)
        std::fprintf(stderr, "bare loop read %zu of %zu bytes\n", received, bytes);
    ::waitpid(terminal.child, nullptr, 0);
    auto elapsed = Clock::now() - start;
    terminal.child = -1;
    return {elapsed, processorSeconds() - processorStart};
}

namespace {

// Counts what a session hands on and acknowledges each chunk at once, as a receiver that
// keeps up would.
struct Counter {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t received = 0;
    std::size_t chunks = 0;
    // The count that a waiting thread wants to be woken for; the burst wakes nobody before
    // the exit, so that the benchmark measures the session rather than its own wake-ups.
    std::size_t wanted = SIZE_MAX;
    bool exited = false;

    ShellEvents events(const std::shared_ptr<Counter>& self) {
        ShellEvents events;
        events.output = [self](Bytes chunk, ShellEvents::Sent sent) {
            bool wake = false;
            {
                std::lock_guard lock(self->mutex);
                self->received += chunk.size();
                ++self->chunks;
                wake = self->received >= self->wanted;
            }
            if (wake)
                self->changed.notify_all();
            sent();
        };
        events.folderChanged = [](std::string) {};
        events.exited = [self](std::int32_t) {
            {
                std::lock_guard lock(self->mutex);
                self->exited = true;
            }
            self->changed.notify_all();
        };
        return events;
    }

    void waitFor(std::size_t bytes) {
        std::unique_lock lock(mutex);
        wanted = bytes;
        changed.wait(lock, [&] { return received >= bytes; });
        wanted = SIZE_MAX;
    }

    void waitForExit() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return exited; });
    }
};

Burst sessionBurst(std::size_t bytes) {
    auto counter = std::make_shared<Counter>();
    double processorStart = processorSeconds();
    auto start = Clock::now();
    auto session = PTYSession::make(command(burstScript(bytes)), 80, 24, counter->events(counter));
    counter->waitForExit();
    auto elapsed = Clock::now() - start;
    double processor = processorSeconds() - processorStart;
    if (counter->received != bytes)
        std::fprintf(stderr, "session delivered %zu of %zu bytes\n", counter->received, bytes);
    if (std::getenv("VELTRO_BENCH_VERBOSE"))
        std::fprintf(stderr, "session: %zu chunks, %.0f bytes each\n", counter->chunks,
                     static_cast<double>(bytes) / static_cast<double>(counter->chunks));
    return {elapsed, processor};
}

double microseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

std::vector<double> bareEchoes(int keystrokes) {
    BareTerminal terminal(echoScript());
    int master = terminal.master.get();
    char byte = 0;
    if (::read(master, &byte, 1) != 1 || byte != 'R')
        throw std::runtime_error("echo script did not start");
    std::vector<double> latencies;
    for (int index = 0; index < keystrokes; ++index) {
        auto start = Clock::now();
        if (::write(master, "x", 1) != 1 || ::read(master, &byte, 1) != 1)
            throw std::runtime_error("echo failed");
        latencies.push_back(microseconds(Clock::now() - start));
    }
    return latencies;
}

std::vector<double> sessionEchoes(int keystrokes) {
    auto counter = std::make_shared<Counter>();
    auto session = PTYSession::make(command(echoScript()), 80, 24, counter->events(counter));
    counter->waitFor(1);
    std::vector<double> latencies;
    for (int index = 0; index < keystrokes; ++index) {
        std::size_t expected = 2 + static_cast<std::size_t>(index);
        auto start = Clock::now();
        session->write(Bytes{'x'});
        counter->waitFor(expected);
        latencies.push_back(microseconds(Clock::now() - start));
    }
    session->close();
    counter->waitForExit();
    return latencies;
}

} // namespace

void sessionBench(const Options& options) {
    Burst bare;
    Burst session;
    // Alternating, so that a busy moment of the machine falls on both sides alike.
    for (int round = 0; round < options.rounds; ++round) {
        bare.keepBest(bareBurst(options.bytes));
        session.keepBest(sessionBurst(options.bytes));
    }
    double bareRate = mebibytesPerSecond(options.bytes, bare.elapsed);
    double sessionRate = mebibytesPerSecond(options.bytes, session.elapsed);
    double mebibytes = static_cast<double>(options.bytes) / (1024.0 * 1024.0);
    double bareCost = 1e6 * bare.processor / mebibytes;
    double sessionCost = 1e6 * session.processor / mebibytes;
    std::printf("  output burst of %zu bytes, best of %d\n", options.bytes, options.rounds);
    figure("bare read loop on a terminal", bareRate, "MiB/s");
    figure("session", sessionRate, "MiB/s");
    figure("session / bare", 100 * sessionRate / bareRate, "%");
    figure("reader's processor time, bare", bareCost, "us/MiB");
    figure("reader's processor time, session", sessionCost, "us/MiB");
    figure("bare / session, by processor time", 100 * bareCost / sessionCost, "%");

    std::printf("  keystroke echo through cat, median of %d\n", options.keystrokes);
    figure("bare terminal", median(bareEchoes(options.keystrokes)), "us");
    figure("session", median(sessionEchoes(options.keystrokes)), "us");
}

} // namespace veltro::bench
