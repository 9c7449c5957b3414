#include "sessions/ShellCommand.hpp"
#include "sessions/UserAccount.hpp"
#include "support/TemporaryFolder.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
        {"", "", {""}},
    };
    for (const auto& [shell, accountShell, arguments] : cases) {
        ShellCommand result = command(shell, {{"ENV", "/e"}, {"BASH_ENV", "/b"}}, {},
                                      {"me", "/home/me", accountShell});
        std::string path = shell.value_or(accountShell);
        EXPECT_EQ(result.path, path);
        EXPECT_EQ(result.arguments, arguments) << path;
        EXPECT_EQ(result.environment.at("SHELL"), path);
        // Only the login shell keeps the variables that name start-up files.
        EXPECT_EQ(result.environment.contains("ENV"), !shell) << path;
        EXPECT_EQ(result.environment.contains("BASH_ENV"), !shell) << path;
    }
}

TEST(ShellCommand, BuildsTheWholeEnvironmentAndPassesOtherVariablesThrough) {
    Environment base{{"PATH", "/usr/bin"},    {"XPC_SERVICE_NAME", "x"}, {"OLDPWD", "/old"},
                     {"PWD", "/elsewhere"},   {"TERM", "vt100"},         {"HOME", "/wrong"},
                     {"LANG", "fr_FR.UTF-8"}, {"EDITOR", "vi"}};
    Environment expected{{"PATH", "/usr/bin"},
                         {"PWD", "/work"},
                         {"TERM", "xterm-256color"},
                         {"COLORTERM", "truecolor"},
                         {"TERM_PROGRAM", "Veltro"},
                         {"LANG", "fr_FR.UTF-8"},
                         {"HOME", "/home/me"},
                         {"USER", "me"},
                         {"LOGNAME", "me"},
                         {"SHELL", "/bin/zsh"},
                         {"EDITOR", "vi"}};
    EXPECT_EQ(command(std::nullopt, base).environment, expected);
    // The request wins over every other source, removals included.
    Environment request{{"TERM", "dumb"},      {"LANG", "ja_JP.UTF-8"},
                        {"BASH_ENV", "/mine"}, {"XPC_SERVICE_NAME", "kept"},
                        {"OLDPWD", "/prev"},   {"HOME", "/h"}};
    for (const auto& [key, value] : request)
        EXPECT_EQ(command("/bin/bash", {{"LANG", "C"}}, request).environment.at(key), value);
    // A language that is set is kept; an empty or missing one gets the default.
    EXPECT_EQ(command(std::nullopt, {{"LANG", ""}}).environment.at("LANG"), "de_CH.UTF-8");
    EXPECT_EQ(command(std::nullopt).environment.at("LANG"), "de_CH.UTF-8");
}

TEST(ShellCommand, UnusableFolderFallsBackToHomeWithoutTestingHome) {
    std::vector<std::string> asked;
    auto noFolder = [&](const std::string& path) {
        asked.push_back(path);
        return false;
    };
    ShellCommand result(std::nullopt, "relative", account, {}, {}, "", noFolder, every);
    EXPECT_EQ(result.folder, "/home/me");
    EXPECT_EQ(result.environment.at("PWD"), "/home/me");
    EXPECT_EQ(asked, std::vector<std::string>{"relative"});
}

// A LANG naming a locale that is not installed would make every program in the shell warn.
TEST(ShellCommand, DefaultLanguageIsTheUsersLocaleWhenInstalledElseEnglishElseC) {
    auto allButBrazil = [](const std::string& name) { return name != "pt_BR.UTF-8"; };
    auto onlyC = [](const std::string& name) { return name == "C.UTF-8"; };
    const std::tuple<Environment, ShellCommand::PathTest, std::string> cases[] = {
        {{{"LANG", "de_CH.UTF-8@euro"}}, every, "de_CH.UTF-8"},
        {{{"LC_ALL", "zh-Hans_CN"}, {"LC_CTYPE", "it_IT"}}, every, "zh_CN.UTF-8"},
        {{{"LC_ALL", ""}, {"LC_CTYPE", "sr_Latn_RS@calendar=gregorian"}}, every, "sr_RS.UTF-8"},
        {{{"LANG", "fr"}}, every, "en_US.UTF-8"},
        {{{"LC_ALL", "C"}, {"LANG", "de_DE"}}, every, "en_US.UTF-8"},
        {{{"LC_MESSAGES", "de_DE"}}, every, "en_US.UTF-8"},
        {{{"LANG", "pt_BR"}}, allButBrazil, "en_US.UTF-8"},
        {{{"LANG", "pt_BR"}}, onlyC, "C.UTF-8"},
    };
    for (const auto& [environment, installed, language] : cases)
        EXPECT_EQ(
            ShellCommand::defaultLanguage(ShellCommand::preferredLocale(environment), installed),
            language)
            << language;
}

TEST(ShellCommand, FileSystemQuestionsAskTheSystem) {
    testing::TemporaryFolder temporary;
    std::filesystem::create_directory(temporary / "folder");
    std::ofstream(temporary / "file") << "x";
    std::filesystem::create_directory_symlink(temporary / "folder", temporary / "link");
    std::filesystem::create_symlink(temporary / "missing", temporary / "dangling");
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(temporary.path());
    const std::pair<std::string, bool> folders[] = {
        {"folder", true}, {"link", true}, {"file", false}, {"dangling", false}, {"missing", false}};
    for (const auto& [name, isFolder] : folders)
        EXPECT_EQ(ShellCommand::isFolder(temporary / name), isFolder) << name;
    // A relative path is no folder, even where the working folder has one by that name.
    EXPECT_FALSE(ShellCommand::isFolder("folder") || ShellCommand::isFolder(""));
    std::filesystem::current_path(previous);
    EXPECT_TRUE(ShellCommand::localeExists("C") && ShellCommand::localeExists("POSIX"));
    EXPECT_FALSE(ShellCommand::localeExists("xx_NOWHERE.UTF-8") || ShellCommand::localeExists(""));
}

TEST(UserAccount, DatabaseEntryOverridesWhatItHasAndAShellNeedsText) {
    char name[] = "db", home[] = "/db/home", shell[] = "/bin/bash", empty[] = "";
    passwd full{name, nullptr, 0, 0, nullptr, home, shell};
    passwd blank{name, nullptr, 0, 0, nullptr, empty, empty};
    passwd none{};
    const std::pair<const passwd*, UserAccount> cases[] = {{&full, {"db", "/db/home", "/bin/bash"}},
                                                           {&blank, {"db", "", "/bin/zsh"}},
                                                           {&none, {"env", "/env", "/bin/zsh"}},
                                                           {nullptr, {"env", "/env", "/bin/zsh"}}};
    for (const auto& [entry, expected] : cases)
        EXPECT_EQ(UserAccount::resolve("env", "/env", entry), expected);
}

} // namespace
} // namespace veltro
