#include "service/TerminalHelperListenerDelegate.hpp"

#include "platform/EventLoop.hpp"
#include "protocol/TerminalService.hpp"
#include "service/ConnectionTerminalClient.hpp"
#include "service/TerminalHelperService.hpp"
#include "sessions/PTYShellLauncher.hpp"
#include "sessions/UserAccount.hpp"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <utility>

namespace veltro {

namespace {

// The whole process environment as it is at this moment.
Environment processEnvironment() {
    Environment environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* text = *entry;
        const char* equals = std::strchr(text, '=');
        if (!equals)
            continue;
        environment.try_emplace(std::string(text, equals), std::string(equals + 1));
    }
    return environment;
}

void logRequirement(const Logger& logger, const PeerRequirement::Signer& signer,
                    const std::string& requirement) {
    if (signer.kind == PeerRequirement::Signer::Kind::adHoc) {
        logger.error("The helper is signed ad hoc, so it can only check its client's "
                     "identifier, which anything can claim: " +
                     requirement);
        return;
    }
    logger.info("Clients must meet: " + requirement);
}

// The scripts that ship with this agent, found from where its binary is.
std::optional<std::string> integrationScripts(const Logger& logger) {
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        logger.notice("Shell integration is off: the agent's own path is unknown: " +
                      error.message());
        return std::nullopt;
    }
    std::optional<std::string> scripts =
        ShellCommand::integrationScripts(executable.string(), ShellCommand::isFolder);
    if (!scripts)
        logger.notice("Shell integration is off: its scripts are not installed next to " +
                      executable.string());
    return scripts;
}

} // namespace

TerminalHelperListenerDelegate::TerminalHelperListenerDelegate(
    std::optional<std::string> requirement, std::shared_ptr<ShellLauncher> launcher,
    std::shared_ptr<HelperLifetime> lifetime, std::shared_ptr<KeptShells> keptShells)
    : requirement(std::move(requirement)), launcher(std::move(launcher)),
      lifetime(std::move(lifetime)), keptShells(std::move(keptShells)) {}

std::shared_ptr<TerminalHelperListenerDelegate>
TerminalHelperListenerDelegate::forAgent(EventLoop& loop, std::shared_ptr<HelperLifetime> lifetime,
                                         const PeerRequirement::Signer& signer,
                                         std::shared_ptr<LogSink> sink,
                                         std::optional<rlim_t> shellDescriptorLimit) {
    std::string text =
        PeerRequirement::requirement(signer, TerminalService::veltroBundleID(), true);
    Logger logger(TerminalService::helperBundleID(), "service", std::move(sink));
    logRequirement(logger, signer, text);
    auto launcher =
        std::make_shared<PTYShellLauncher>(loop, UserAccount::current(), processEnvironment());
    launcher->descriptorLimit = shellDescriptorLimit;
    launcher->integrationScripts = integrationScripts(logger);
    auto keptShells = std::make_shared<KeptShells>(loop.executor(), lifetime);
    return std::make_shared<TerminalHelperListenerDelegate>(
        std::move(text), std::move(launcher), std::move(lifetime), std::move(keptShells));
}

bool TerminalHelperListenerDelegate::shouldAcceptNewConnection(
    ipc::Listener&, const std::shared_ptr<ipc::AgentConnection>& connection) {
    if (requirement)
        connection->setPeerRequirement(*requirement);
    auto client = std::make_shared<ConnectionTerminalClient>(connection);
    auto service = std::make_shared<TerminalHelperService>(launcher, client, lifetime, keptShells);
    connection->setHandler(service);
    connection->setDisconnectHandler([service, lifetime = lifetime] {
        service->closeAll();
        if (lifetime)
            lifetime->connectionEnded();
    });
    std::erase_if(accepted, [](const auto& weak) { return weak.expired(); });
    accepted.push_back(connection);
    // Counted before resume(), so no request reaches the service of an uncounted connection.
    if (lifetime)
        lifetime->connectionStarted();
    connection->resume();
    return true;
}

void TerminalHelperListenerDelegate::disconnectAll() {
    for (const auto& weak : std::exchange(accepted, {}))
        if (auto connection = weak.lock())
            connection->disconnect();
    if (keptShells)
        keptShells->closeAll();
}

} // namespace veltro
