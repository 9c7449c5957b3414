#include "sessions/ShellCommand.hpp"

#include <gtest/gtest.h>

namespace veltro {
namespace {

const UserAccount account{"me", "/home/me", "/bin/zsh"};

bool every(const std::string&) {
    return true;
}

ShellCommand command(const std::optional<std::string>& shell, const Environment& base = {},
                     const Environment& request = {}, const UserAccount& user = account) {
    return ShellCommand(shell, "/work", user, base, request, "de_CH", every, every);
}

TEST(ShellCommand, OnlyTheLoginShellReadsStartUpFilesAndANamedShellIsRunAsNamed) {
    const std::tuple<std::optional<std::string>, std::string, std::vector<std::string>> cases[] = {
        {std::nullopt, "/usr/bin/fish", {"-fish"}},
        {"/bin/zsh", "", {"zsh", "-f"}},
        {"/opt/homebrew/bin/bash", "", {"bash", "--noprofile", "--norc"}},
        {"/usr/local/bin/fish", "", {"fish"}},
    };
    for (const auto& [shell, accountShell, arguments] : cases) {
        ShellCommand result = command(shell, {{"ENV", "/e"}, {"BASH_ENV", "/b"}}, {},
                                      {"me", "/home/me", accountShell});
        std::string path = shell.value_or(accountShell);
        EXPECT_EQ(result.path, path);
        EXPECT_EQ(result.arguments, arguments) << path;
        EXPECT_EQ(result.environment.at("SHELL"), path);
        // Only the login shell keeps the variables that name start-up files.
        EXPECT_EQ(result.environment.contains("ENV") + result.environment.contains("BASH_ENV"),
                  shell ? 0 : 2)
            << path;
    }
}

// Each shell gets its own way in, and what the way in replaces is handed to the script, which
// puts it back; a variable a client passed by that name must not pass for the original.
TEST(ShellCommand, IntegrationStartsBashZshAndFishThroughTheScriptsAndRemembersWhatItReplaced) {
    struct Case {
        std::optional<std::string> shell;
        std::string accountShell;
        Environment base;
        std::vector<std::string> arguments;
        Environment set;
        std::vector<std::string> unset;
    };
    const Case cases[] = {
        {std::nullopt,
         "/bin/bash",
         {},
         {"bash", "--init-file", "/s/bash/veltro.bash"},
         {{"VELTRO_BASH_STARTUP", "login"}},
         {}},
        {"/bin/bash",
         "",
         {},
         {"bash", "--init-file", "/s/bash/veltro.bash"},
         {{"VELTRO_BASH_STARTUP", "none"}},
         {}},
        {std::nullopt,
         "/bin/zsh",
         {{"ZDOTDIR", "/z"}, {"VELTRO_ZSH_STARTUP", "none"}},
         {"-zsh"},
         {{"ZDOTDIR", "/s/zsh"}, {"VELTRO_ORIGINAL_ZDOTDIR", "/z"}},
         {"VELTRO_ZSH_STARTUP"}},
        {"/bin/zsh",
         "",
         {{"VELTRO_ORIGINAL_ZDOTDIR", "/stale"}},
         {"zsh"},
         {{"ZDOTDIR", "/s/zsh"}, {"VELTRO_ZSH_STARTUP", "none"}},
         {"VELTRO_ORIGINAL_ZDOTDIR"}},
        {std::nullopt,
         "/usr/bin/fish",
         {{"VELTRO_XDG_DATA_DIRS", "/stale"}},
         {"-fish"},
         {{"XDG_DATA_DIRS", "/s:/usr/local/share:/usr/share"}},
         {"VELTRO_XDG_DATA_DIRS"}},
        {"/usr/bin/fish",
         "",
         {{"XDG_DATA_DIRS", "/a:/b"}},
         {"fish"},
         {{"XDG_DATA_DIRS", "/s:/a:/b"}, {"VELTRO_XDG_DATA_DIRS", "/a:/b"}},
         {}},
    };
    for (const Case& test : cases) {
        ShellCommand result =
            command(test.shell, {}, test.base, {"me", "/home/me", test.accountShell});
        ASSERT_TRUE(result.addIntegration("/s", every));
        std::string path = test.shell.value_or(test.accountShell);
        EXPECT_EQ(result.path, path);
        EXPECT_EQ(result.arguments, test.arguments) << path;
        for (const auto& [key, value] : test.set)
            EXPECT_EQ(result.environment[key], value) << path << " " << key;
        for (const std::string& key : test.unset)
            EXPECT_FALSE(result.environment.contains(key)) << path << " " << key;
    }
    // Other shells, and scripts that are not there, leave the command as it was.
    ShellCommand::PathTest nothing = [](const std::string&) { return false; };
    const std::pair<std::string, ShellCommand::PathTest> others[] = {{"/bin/dash", every},
                                                                     {"/bin/bash", nothing},
                                                                     {"/bin/zsh", nothing},
                                                                     {"/usr/bin/fish", nothing}};
    for (const auto& [shell, found] : others) {
        ShellCommand unchanged = command(std::nullopt, {}, {}, {"me", "/home/me", shell});
        ShellCommand result = unchanged;
        EXPECT_FALSE(result.addIntegration("/s", found)) << shell;
        EXPECT_EQ(result, unchanged) << shell;
    }
}

// In the build folder the scripts are next to the agent; installed, the agent is in
// <prefix>/libexec/veltro-terminal-helper/ and they are under <prefix>/share/.
TEST(ShellCommand, IntegrationScriptsAreNextToTheAgentElseInTheSharedFolderOfItsPrefix) {
    auto only = [](std::string folder) {
        return [folder](const std::string& path) { return path == folder; };
    };
    EXPECT_EQ(
        ShellCommand::integrationScripts("/b/veltro-terminal-helper", only("/b/shell-integration")),
        "/b/shell-integration");
    std::string installed = "/usr/share/veltro-terminal-helper/shell-integration";
    EXPECT_EQ(ShellCommand::integrationScripts(
                  "/usr/libexec/veltro-terminal-helper/veltro-terminal-helper", only(installed)),
              installed);
    EXPECT_EQ(ShellCommand::integrationScripts("/b/veltro-terminal-helper", only("/other")),
              std::nullopt);
}

// Most Linux systems have no /bin/zsh; passwd(5) gives an account without a shell /bin/sh.
TEST(UserAccount, DatabaseEntryOverridesTheEnvironmentAndAnAccountWithoutAShellGetsBinSh) {
    passwd entry{};
    entry.pw_name = const_cast<char*>("db");
    entry.pw_dir = const_cast<char*>("/home/db");
    entry.pw_shell = const_cast<char*>("");
    EXPECT_EQ(UserAccount::resolve("env", "/env", &entry),
              (UserAccount{"db", "/home/db", "/bin/sh"}));
    EXPECT_EQ(UserAccount::resolve("env", "/env", nullptr),
              (UserAccount{"env", "/env", "/bin/sh"}));
    entry.pw_shell = const_cast<char*>("/usr/bin/fish");
    EXPECT_EQ(UserAccount::resolve("env", "/env", &entry).shell, "/usr/bin/fish");
}

TEST(ShellCommand, BuildsTheWholeEnvironmentAndPassesOtherVariablesThrough) {
    Environment base{{"PATH", "/usr/bin"},    {"XPC_SERVICE_NAME", "x"}, {"OLDPWD", "/old"},
                     {"PWD", "/elsewhere"},   {"TERM", "vt100"},         {"HOME", "/wrong"},
                     {"LANG", "fr_FR.UTF-8"}, {"EDITOR", "vi"}};
    Environment expected = {
        // Passed through, then what the terminal and the account decide.
        {"PATH", "/usr/bin"},       {"EDITOR", "vi"},           {"LANG", "fr_FR.UTF-8"},
        {"PWD", "/work"},           {"TERM", "xterm-256color"}, {"COLORTERM", "truecolor"},
        {"TERM_PROGRAM", "Veltro"}, {"HOME", "/home/me"},       {"USER", "me"},
        {"LOGNAME", "me"},          {"SHELL", "/bin/zsh"}};
    EXPECT_EQ(command(std::nullopt, base).environment, expected);
    // The request wins over every other source, removals included.
    Environment request{{"TERM", "dumb"},      {"LANG", "ja_JP.UTF-8"},
                        {"BASH_ENV", "/mine"}, {"XPC_SERVICE_NAME", "kept"},
                        {"OLDPWD", "/prev"},   {"HOME", "/h"}};
    for (const auto& [key, value] : request)
        EXPECT_EQ(command("/bin/bash", {{"LANG", "C"}}, request).environment.at(key), value);
    // An empty or missing language gets the default.
    EXPECT_EQ(command(std::nullopt, {{"LANG", ""}}).environment.at("LANG"), "de_CH.UTF-8");
    EXPECT_EQ(command(std::nullopt).environment.at("LANG"), "de_CH.UTF-8");
}

// A LANG naming a locale that is not installed would make every program in the shell warn.
TEST(ShellCommand, DefaultLanguageIsTheUsersLocaleWhenInstalledElseEnglishElseC) {
    auto allButBrazil = [](const std::string& name) { return name != "pt_BR.UTF-8"; };
    auto onlyC = [](const std::string& name) { return name == "C.UTF-8"; };
    const std::tuple<Environment, ShellCommand::PathTest, std::string> cases[] = {
        {{{"LANG", "de_CH.UTF-8@euro"}}, every, "de_CH.UTF-8"},
        {{{"LC_ALL", ""}, {"LC_CTYPE", "zh-Hans_CN"}, {"LANG", "it_IT"}}, every, "zh_CN.UTF-8"},
        {{{"LC_ALL", "C"}, {"LANG", "de_DE"}}, every, "en_US.UTF-8"},
        {{{"LANG", "pt_BR"}}, allButBrazil, "en_US.UTF-8"},
        {{{"LANG", "pt_BR"}}, onlyC, "C.UTF-8"},
    };
    for (const auto& [environment, installed, language] : cases)
        EXPECT_EQ(
            ShellCommand::defaultLanguage(ShellCommand::preferredLocale(environment), installed),
            language)
            << language;
}

} // namespace
} // namespace veltro
