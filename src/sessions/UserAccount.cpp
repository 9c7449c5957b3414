#include "sessions/UserAccount.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace veltro {

namespace {

// What passwd(5) says an account without a shell gets.
constexpr const char* fallbackShell = "/bin/sh";

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

} // namespace

UserAccount UserAccount::resolve(std::string name, std::string home, const passwd* entry) {
    UserAccount account{std::move(name), std::move(home), fallbackShell};
    if (!entry)
        return account;
    // An entry's texts replace ours whenever they are there, even when empty; only the shell
    // must also be non-empty to be usable.
    if (entry->pw_name)
        account.name = entry->pw_name;
    if (entry->pw_dir)
        account.home = entry->pw_dir;
    if (entry->pw_shell && entry->pw_shell[0] != '\0')
        account.shell = entry->pw_shell;
    return account;
}

UserAccount UserAccount::current() {
    std::string name = environmentValue("USER");
    if (name.empty())
        name = environmentValue("LOGNAME");
    std::string home = environmentValue("HOME");

    // getpwuid_r rather than getpwuid: the agent has other threads by the time this runs.
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
    passwd storage{};
    passwd* entry = nullptr;
    for (;;) {
        int error = getpwuid_r(getuid(), &storage, buffer.data(), buffer.size(), &entry);
        if (error == ERANGE && buffer.size() < (std::size_t{1} << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0)
            entry = nullptr;
        break;
    }
    return resolve(std::move(name), std::move(home), entry);
}

} // namespace veltro
