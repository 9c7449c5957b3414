#include "app/SystemdServiceManagement.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <system_error>

extern char** environ;

namespace veltro {

namespace fs = std::filesystem;

namespace {

fs::path userUnitFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/')
        return fs::path(config) / "systemd/user";
    const char* home = std::getenv("HOME");
    return fs::path(home ? home : "") / ".config/systemd/user";
}

fs::path executableFolder() {
    std::error_code error;
    fs::path executable = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : executable.parent_path();
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

} // namespace

SystemdServiceManagement::SystemdServiceManagement(std::string agentLabel, fs::path installedUnits,
                                                   fs::path userUnits, Run run)
    : agentLabel(std::move(agentLabel)), installedUnits(std::move(installedUnits)),
      userUnits(std::move(userUnits)), run(std::move(run)) {}

SystemdServiceManagement SystemdServiceManagement::forThisProgram(std::string agentLabel) {
    fs::path installed = executableFolder() / "../../lib/systemd/user";
    return SystemdServiceManagement(std::move(agentLabel), installed.lexically_normal(),
                                    userUnitFolder());
}

std::vector<std::string> SystemdServiceManagement::unitNames() const {
    return {agentLabel + ".socket", agentLabel + ".service"};
}

bool SystemdServiceManagement::unitsAreIn(const fs::path& folder) const {
    std::error_code error;
    for (const auto& name : unitNames())
        if (!fs::is_regular_file(folder / name, error))
            return false;
    return true;
}

Expected<void> SystemdServiceManagement::copyUnits() {
    if (unitsAreIn(userUnits))
        return {};
    std::error_code error;
    fs::create_directories(userUnits, error);
    if (error)
        return unexpected("Couldn\u2019t create " + userUnits.string() + ": " + error.message());
    for (const auto& name : unitNames()) {
        fs::copy_file(installedUnits / name, userUnits / name, fs::copy_options::overwrite_existing,
                      error);
        if (error)
            return unexpected("Couldn\u2019t copy " + name + " to " + userUnits.string() + ": " +
                              error.message());
    }
    return {};
}

Expected<void> SystemdServiceManagement::systemctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"systemctl", "--user"});
    int status = run(arguments);
    if (status == 0)
        return {};
    if (status < 0)
        return unexpected("Couldn\u2019t run " + joined(arguments) + ".");
    return unexpected(joined(arguments) + " failed with status " + std::to_string(status) + ".");
}

Expected<void> SystemdServiceManagement::registerAgent() {
    if (!unitsAreIn(installedUnits) && !unitsAreIn(userUnits))
        return unexpected("The launch agent\u2019s units aren\u2019t installed in " +
                          installedUnits.string() + ".");
    if (auto copied = copyUnits(); !copied)
        return copied;
    if (auto reloaded = systemctl({"daemon-reload"}); !reloaded)
        return reloaded;
    return systemctl({"enable", "--now", agentLabel + ".socket"});
}

int SystemdServiceManagement::status() {
    if (!unitsAreIn(installedUnits) && !unitsAreIn(userUnits))
        return notFound;
    if (run({"systemctl", "--user", "--quiet", "is-enabled", agentLabel + ".socket"}) == 0)
        return enabled;
    return notRegistered;
}

void SystemdServiceManagement::openSettings() {
    std::cerr << "See the helper\u2019s state with: systemctl --user status " << agentLabel
              << ".socket\n";
}

int SystemdServiceManagement::runProgram(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace veltro
