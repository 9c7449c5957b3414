#pragma once

#include "protocol/Bytes.hpp"
#include "sessions/UserAccount.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltro {

// Exactly what to run for one shell: the program, its whole argument vector, its whole
// environment and the folder it starts in. Building one is a pure function of its inputs; the
// two questions about the file system are passed in, so the rule can be tested without one.
struct ShellCommand {
    using PathTest = std::function<bool(const std::string&)>;

    std::string path;
    std::vector<std::string> arguments;
    Environment environment;
    std::string folder;

    // `shell` absent: the account's login shell, started as a login shell. Present (even empty):
    // that program, started without its start-up files. `environment` wins over every other
    // source. `preferredLocale` is a locale identifier such as "en_US" or "zh-Hans_CN".
    ShellCommand(const std::optional<std::string>& shell, const std::string& folder,
                 const UserAccount& account, const Environment& baseEnvironment,
                 const Environment& environment, const std::string& preferredLocale,
                 const PathTest& isFolder, const PathTest& localeExists);

    // Makes bash, zsh and fish read the integration scripts in `scripts` (the folder holding
    // bash/, zsh/ and fish/) once the user's own start-up files have run, as they would without
    // them. Other shells, and a shell whose script `isFile` does not find, stay unchanged;
    // answers whether the command changed.
    bool addIntegration(const std::string& scripts, const PathTest& isFile);

    // Whether the path is absolute and names an existing folder, following symbolic links.
    static bool isFolder(const std::string& path);
    // Whether the path names an existing regular file, following symbolic links.
    static bool isFile(const std::string& path);
    // The integration scripts' folder for the agent at `executable`: next to it in a build
    // folder, else in share/ of the prefix it is installed under (<prefix>/libexec/<name>/).
    static std::optional<std::string> integrationScripts(const std::string& executable,
                                                         const PathTest& isFolder);
    // Whether the C library can load the named locale.
    static bool localeExists(const std::string& name);
    // A value for LANG built from a locale identifier: "zh-Hans_CN" gives "zh_CN.UTF-8" when that
    // locale is installed; otherwise "en_US.UTF-8", or "C.UTF-8" where even that is missing.
    static std::string defaultLanguage(const std::string& preferredLocale,
                                       const PathTest& localeExists);
    // The user's locale identifier from LC_ALL, LC_CTYPE or LANG, without codeset and modifier;
    // empty for "C", "POSIX" or nothing.
    static std::string preferredLocale(const Environment& environment);
    // The text after the last slash, trailing slashes ignored; "/" for the root.
    static std::string lastPathComponent(std::string_view path);

    friend bool operator==(const ShellCommand&, const ShellCommand&) = default;
};

} // namespace veltro
