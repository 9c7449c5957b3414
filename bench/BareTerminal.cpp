#include "BareTerminal.hpp"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace veltro::bench {

namespace {

std::system_error systemError(const char* operation, int error = errno) {
    return {error, std::generic_category(), operation};
}

// The processor time of the calling thread so far.
double threadProcessorSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::vector<std::string> shellScript(std::string_view script) {
    return {"sh", "-c", std::string(script)};
}

// Reads until `marker` has come, or throws.
void readUntil(int master, std::string_view marker) {
    std::string seen;
    std::array<char, 256> buffer{};
    while (!seen.ends_with(marker)) {
        ssize_t count = ::read(master, buffer.data(), buffer.size());
        if (count <= 0)
            throw std::runtime_error("the bare terminal ended before it said " +
                                     std::string(marker));
        seen.append(buffer.data(), static_cast<std::size_t>(count));
    }
}

} // namespace

std::string burstScript(std::size_t bytes) {
    return "stty raw -echo; exec head -c " + std::to_string(bytes) + " /dev/zero";
}

BareTerminal::BareTerminal(const std::string& program, const std::vector<std::string>& arguments) {
    int masterFD = -1;
    int slaveFD = -1;
    winsize size{24, 80, 0, 0};
    if (::openpty(&masterFD, &slaveFD, nullptr, nullptr, &size) != 0)
        throw systemError("openpty");
    master_.reset(masterFD);
    FileDescriptor slave(slaveFD);
    ::fcntl(masterFD, F_SETFD, FD_CLOEXEC);
    std::array<char, PATH_MAX> slaveName{};
    if (int error = ::ttyname_r(slaveFD, slaveName.data(), slaveName.size()); error != 0)
        throw systemError("ttyname_r", error);

    // Opened after the new session begins, the terminal becomes its controlling terminal.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, slaveName.data(), O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&files, 0, 1);
    posix_spawn_file_actions_adddup2(&files, 0, 2);
    posix_spawn_file_actions_addclosefrom_np(&files, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::vector<std::string> storage = arguments;
    std::vector<char*> argv;
    for (std::string& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    int error = ::posix_spawn(&child_, program.c_str(), &files, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&files);
    if (error != 0)
        throw systemError("posix_spawn", error);
}

BareTerminal::~BareTerminal() {
    master_.reset();
    if (child_ <= 0)
        return;
    ::kill(child_, SIGKILL);
    wait();
}

std::size_t BareTerminal::drain() {
    std::vector<char> buffer(readSize);
    std::size_t received = 0;
    for (;;) {
        ssize_t count = ::read(master_.get(), buffer.data(), buffer.size());
        if (count <= 0)
            return received;
        received += static_cast<std::size_t>(count);
    }
}

void BareTerminal::wait() {
    ::waitpid(child_, nullptr, 0);
    child_ = -1;
}

Burst bareBurst(std::size_t bytes) {
    double processorStart = threadProcessorSeconds();
    auto start = Clock::now();
    BareTerminal terminal("/bin/sh", shellScript(burstScript(bytes)));
    std::size_t received = terminal.drain();
    terminal.wait();
    auto elapsed = Clock::now() - start;
    if (received != bytes)
        std::fprintf(stderr, "the bare loop read %zu of %zu bytes\n", received, bytes);
    return {elapsed, threadProcessorSeconds() - processorStart};
}

std::vector<double> bareEchoes(int keystrokes) {
    BareTerminal terminal("/bin/sh", shellScript(echoScript));
    int master = terminal.master();
    readUntil(master, readyMarker);
    std::vector<double> latencies;
    latencies.reserve(static_cast<std::size_t>(keystrokes));
    char byte = 0;
    for (int index = 0; index < keystrokes; ++index) {
        auto start = Clock::now();
        if (::write(master, "x", 1) != 1 || ::read(master, &byte, 1) != 1)
            throw std::runtime_error("the bare terminal stopped echoing");
        latencies.push_back(microseconds(Clock::now() - start));
    }
    return latencies;
}

double bareFirstOutput(const std::string& program) {
    auto start = Clock::now();
    BareTerminal terminal(program, {program.substr(program.rfind('/') + 1)});
    std::vector<char> buffer(readSize);
    if (::read(terminal.master(), buffer.data(), buffer.size()) <= 0)
        throw std::runtime_error(program + " wrote nothing on the bare terminal");
    double latency = microseconds(Clock::now() - start);
    terminal.drain();
    terminal.wait();
    return latency;
}

} // namespace veltro::bench
