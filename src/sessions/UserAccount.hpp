#pragma once

#include <pwd.h>

#include <string>

namespace veltro {

// The user whom the agent runs as: login name, home folder and login shell.
struct UserAccount {
    std::string name;
    std::string home;
    std::string shell;

    // Reads the environment (USER, else LOGNAME; HOME) and then the account database for the
    // real user id.
    static UserAccount current();

    // The rule behind current(), apart from the lookups: the account database entry, when there
    // is one, overrides the name and home it has, and supplies the shell when it names one.
    // Without a shell the account falls back to "/bin/sh".
    static UserAccount resolve(std::string name, std::string home, const passwd* entry);

    friend bool operator==(const UserAccount&, const UserAccount&) = default;
};

} // namespace veltro
