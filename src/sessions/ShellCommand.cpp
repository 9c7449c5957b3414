#include "sessions/ShellCommand.hpp"

#include <locale.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>

namespace veltro {

namespace {

// Splits at every separator and drops empty pieces.
std::vector<std::string_view> pieces(std::string_view text, char separator) {
    std::vector<std::string_view> result;
    while (!text.empty()) {
        std::size_t end = text.find(separator);
        std::string_view piece = text.substr(0, end);
        if (!piece.empty())
            result.push_back(piece);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return result;
}

std::vector<std::string> argumentsFor(bool shellNamed, const std::string& name) {
    if (!shellNamed)
        return {"-" + name};
    // A named shell must not read start-up files: the client asked for that exact program.
    if (name == "zsh")
        return {name, "-f"};
    if (name == "bash")
        return {name, "--noprofile", "--norc"};
    return {name};
}

const std::string* value(const Environment& environment, const std::string& key) {
    auto found = environment.find(key);
    return found == environment.end() ? nullptr : &found->second;
}

// Where an installed agent's scripts are, relative to the installation's prefix.
constexpr const char* installedScripts = "share/veltro-terminal-helper/shell-integration";

// bash reads --init-file only when it is not a login shell, so it starts without the dash and
// the script reads the login files itself; VELTRO_BASH_STARTUP tells it which files to read.
bool addBashIntegration(ShellCommand& command, const std::string& scripts, bool login,
                        const ShellCommand::PathTest& isFile) {
    std::string script = scripts + "/bash/veltro.bash";
    if (!isFile(script))
        return false;
    command.arguments = {"bash", "--init-file", script};
    command.environment["VELTRO_BASH_STARTUP"] = login ? "login" : "none";
    return true;
}

// zsh reads its start-up files from ZDOTDIR; those there read the user's own from the ZDOTDIR
// the shell was given, which they restore.
bool addZshIntegration(ShellCommand& command, const std::string& scripts, bool login,
                       const ShellCommand::PathTest& isFile) {
    std::string folder = scripts + "/zsh";
    if (!isFile(folder + "/.zshenv"))
        return false;
    Environment& env = command.environment;
    if (const std::string* original = value(env, "ZDOTDIR"))
        env["VELTRO_ORIGINAL_ZDOTDIR"] = *original;
    else
        env.erase("VELTRO_ORIGINAL_ZDOTDIR");
    env["ZDOTDIR"] = folder;
    if (login) {
        env.erase("VELTRO_ZSH_STARTUP");
    } else {
        // zsh -f would read no file of ours either; the script stops after its own.
        command.arguments = {"zsh"};
        env["VELTRO_ZSH_STARTUP"] = "none";
    }
    return true;
}

// fish reads the vendor_conf.d of every folder in XDG_DATA_DIRS; the script restores the list.
bool addFishIntegration(ShellCommand& command, const std::string& scripts,
                        const ShellCommand::PathTest& isFile) {
    if (!isFile(scripts + "/fish/vendor_conf.d/veltro.fish"))
        return false;
    Environment& env = command.environment;
    const std::string* original = value(env, "XDG_DATA_DIRS");
    // fish's own default for an unset or empty list, so that other vendors' files still load.
    std::string rest = original && !original->empty() ? *original : "/usr/local/share:/usr/share";
    if (original)
        env["VELTRO_XDG_DATA_DIRS"] = *original;
    else
        env.erase("VELTRO_XDG_DATA_DIRS");
    env["XDG_DATA_DIRS"] = scripts + ":" + rest;
    return true;
}

} // namespace

ShellCommand::ShellCommand(const std::optional<std::string>& shell, const std::string& folder,
                           const UserAccount& account, const Environment& baseEnvironment,
                           const Environment& environment, const std::string& preferredLocale,
                           const PathTest& isFolder, const PathTest& localeExists)
    : path(shell.value_or(account.shell)),
      arguments(argumentsFor(shell.has_value(), lastPathComponent(path))),
      environment(baseEnvironment), folder(isFolder(folder) ? folder : account.home) {
    Environment& env = this->environment;
    env.erase("XPC_SERVICE_NAME");
    env.erase("OLDPWD");
    env["PWD"] = this->folder;
    env["TERM"] = "xterm-256color";
    env["COLORTERM"] = "truecolor";
    env["TERM_PROGRAM"] = "Veltro";
    const std::string* language = value(env, "LANG");
    if (!language || language->empty())
        env["LANG"] = defaultLanguage(preferredLocale, localeExists);
    env["HOME"] = account.home;
    env["USER"] = account.name;
    env["LOGNAME"] = account.name;
    env["SHELL"] = path;
    if (shell) {
        env.erase("ENV");
        env.erase("BASH_ENV");
    }
    for (const auto& [key, entry] : environment)
        env[key] = entry;
}

bool ShellCommand::addIntegration(const std::string& scripts, const PathTest& isFile) {
    std::string name = lastPathComponent(path);
    // The account's shell is a login shell, which its name says by a leading dash.
    bool login = !arguments.empty() && arguments.front().starts_with('-');
    if (name == "bash")
        return addBashIntegration(*this, scripts, login, isFile);
    if (name == "zsh")
        return addZshIntegration(*this, scripts, login, isFile);
    if (name == "fish")
        return addFishIntegration(*this, scripts, isFile);
    return false;
}

std::optional<std::string> ShellCommand::integrationScripts(const std::string& executable,
                                                            const PathTest& isFolder) {
    std::filesystem::path folder = std::filesystem::path(executable).parent_path();
    for (const std::filesystem::path& candidate :
         {folder / "shell-integration", folder.parent_path().parent_path() / installedScripts}) {
        if (isFolder(candidate.string()))
            return candidate.string();
    }
    return std::nullopt;
}

bool ShellCommand::isFile(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool ShellCommand::isFolder(const std::string& path) {
    if (path.empty() || path.front() != '/')
        return false;
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool ShellCommand::localeExists(const std::string& name) {
    // An empty name would make newlocale consult the environment instead of naming a locale.
    if (name.empty())
        return false;
    locale_t locale = ::newlocale(LC_ALL_MASK, name.c_str(), locale_t{});
    if (locale == locale_t{})
        return false;
    ::freelocale(locale);
    return true;
}

std::string ShellCommand::defaultLanguage(const std::string& preferredLocale,
                                          const PathTest& localeExists) {
    // A variant such as "@calendar=gregorian" says nothing about the language.
    std::vector<std::string_view> variants = pieces(preferredLocale, '@');
    std::string identifier = variants.empty() ? std::string() : std::string(variants.front());
    for (char& c : identifier) {
        if (c == '-')
            c = '_';
    }
    std::vector<std::string_view> parts = pieces(identifier, '_');
    if (parts.size() >= 2) {
        // Middle parts such as a script code ("Hans") have no place in a POSIX locale name.
        std::string candidate =
            std::string(parts.front()) + "_" + std::string(parts.back()) + ".UTF-8";
        if (localeExists(candidate))
            return candidate;
    }
    // A LANG naming a missing locale makes every program warn, so fall back to what is there.
    static const std::string english = "en_US.UTF-8";
    return localeExists(english) ? english : "C.UTF-8";
}

std::string ShellCommand::preferredLocale(const Environment& environment) {
    for (const char* key : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const std::string* setting = value(environment, key);
        if (!setting || setting->empty())
            continue;
        std::string_view name = *setting;
        name = name.substr(0, name.find_first_of(".@"));
        if (name == "C" || name == "POSIX")
            return {};
        return std::string(name);
    }
    return {};
}

std::string ShellCommand::lastPathComponent(std::string_view path) {
    if (path.empty())
        return {};
    std::size_t end = path.find_last_not_of('/');
    if (end == std::string_view::npos)
        return "/";
    std::string_view trimmed = path.substr(0, end + 1);
    std::size_t slash = trimmed.rfind('/');
    return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

} // namespace veltro
