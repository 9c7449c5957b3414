#include "sessions/ShellCommand.hpp"
#include "sessions/UserAccount.hpp"
#include "support/TemporaryFolder.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace veltro {
namespace {

const UserAccount account{"me", "/home/me", "/bin/zsh"};

bool anyFolder(const std::string&) {
    return true;
}
bool everyLocale(const std::string&) {
    return true;
}

ShellCommand command(const std::optional<std::string>& shell, const Environment& base = {},
                     const Environment& request = {}, const UserAccount& user = account) {
    return ShellCommand(shell, "/work", user, base, request, "de_CH", anyFolder, everyLocale);
}

using Arguments = std::vector<std::string>;

TEST(ShellCommand, ArgumentsFollowFromWhetherAShellIsNamedAndFromItsName) {
    struct Case {
        std::optional<std::string> shell;
        std::string accountShell;
        Arguments arguments;
    };
    const Case cases[] = {
        // The login shell, under a leading dash, reads its start-up files.
        {std::nullopt, "/bin/zsh", {"-zsh"}},
        {std::nullopt, "/usr/bin/fish", {"-fish"}},
        // A named shell must not read any: the client asked for that exact program.
        {"/bin/zsh", "", {"zsh", "-f"}},
        {"/opt/homebrew/bin/bash", "", {"bash", "--noprofile", "--norc"}},
        {"/usr/local/bin/fish", "", {"fish"}},
        {"/usr/bin/Bash", "", {"Bash"}},
        {"", "", {""}},
    };
    for (const Case& c : cases) {
        ShellCommand result = command(c.shell, {{"ENV", "/e"}, {"BASH_ENV", "/b"}}, {},
                                      {"me", "/home/me", c.accountShell});
        std::string path = c.shell.value_or(c.accountShell);
        EXPECT_EQ(result.path, path);
        EXPECT_EQ(result.arguments, c.arguments) << path;
        EXPECT_EQ(result.environment.at("SHELL"), path);
        // Only the login shell keeps the variables that name start-up files.
        EXPECT_EQ(result.environment.contains("ENV"), !c.shell) << path;
        EXPECT_EQ(result.environment.contains("BASH_ENV"), !c.shell) << path;
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
    EXPECT_EQ(command(std::nullopt, {{"LANG", "C"}}).environment.at("LANG"), "C");
    EXPECT_EQ(command(std::nullopt, {{"LANG", ""}}).environment.at("LANG"), "de_CH.UTF-8");
    EXPECT_EQ(command(std::nullopt).environment.at("LANG"), "de_CH.UTF-8");
}

TEST(ShellCommand, UnusableFolderFallsBackToHomeWithoutTestingHome) {
    std::vector<std::string> asked;
    auto noFolder = [&](const std::string& path) {
        asked.push_back(path);
        return false;
    };
    ShellCommand result(std::nullopt, "relative", account, {}, {}, "", noFolder, everyLocale);
    EXPECT_EQ(result.folder, "/home/me");
    EXPECT_EQ(result.environment.at("PWD"), "/home/me");
    EXPECT_EQ(asked, std::vector<std::string>{"relative"});
}

TEST(ShellCommand, DefaultLanguageIsThePosixNameOfTheLocaleWhenInstalled) {
    auto allButBrazil = [](const std::string& name) { return name != "pt_BR.UTF-8"; };
    auto onlyC = [](const std::string& name) { return name == "C.UTF-8"; };
    const std::tuple<std::string, ShellCommand::PathTest, std::string> cases[] = {
        {"en_US", everyLocale, "en_US.UTF-8"},
        {"zh-Hans_CN", everyLocale, "zh_CN.UTF-8"},
        {"de_CH@currency=EUR", everyLocale, "de_CH.UTF-8"},
        {"sr_Latn_RS@calendar=gregorian", everyLocale, "sr_RS.UTF-8"},
        {"__en__US__", everyLocale, "en_US.UTF-8"},
        {"@de_CH", everyLocale, "de_CH.UTF-8"},
        {"fr", everyLocale, "en_US.UTF-8"},
        {"", everyLocale, "en_US.UTF-8"},
        {"_-_", everyLocale, "en_US.UTF-8"},
        {"pt_BR", allButBrazil, "en_US.UTF-8"},
        {"pt_BR", onlyC, "C.UTF-8"},
        {"", onlyC, "C.UTF-8"},
    };
    for (const auto& [identifier, installed, language] : cases)
        EXPECT_EQ(ShellCommand::defaultLanguage(identifier, installed), language) << identifier;
}

TEST(ShellCommand, PreferredLocaleTakesTheFirstSetCategoryWithoutCodesetOrModifier) {
    const std::pair<Environment, std::string> cases[] = {
        {{{"LANG", "de_CH.UTF-8@euro"}}, "de_CH"},
        {{{"LANG", "de_CH@euro"}}, "de_CH"},
        {{{"LC_ALL", "fr_FR.UTF-8"}, {"LC_CTYPE", "it_IT"}, {"LANG", "de_DE"}}, "fr_FR"},
        {{{"LC_ALL", ""}, {"LC_CTYPE", "it_IT.ISO-8859-1"}, {"LANG", "de_DE"}}, "it_IT"},
        {{{"LC_ALL", "C"}, {"LANG", "de_DE"}}, ""},
        {{{"LANG", "POSIX"}}, ""},
        {{{"LANG", "C.UTF-8"}}, ""},
        {{{"LC_MESSAGES", "de_DE"}}, ""},
    };
    for (const auto& [environment, identifier] : cases)
        EXPECT_EQ(ShellCommand::preferredLocale(environment), identifier);
}

TEST(ShellCommand, LastPathComponentFollowsPathConventions) {
    const std::pair<std::string, std::string> cases[] = {
        {"/bin/zsh", "zsh"}, {"/bin/zsh//", "zsh"}, {"zsh", "zsh"},
        {"/", "/"},          {"///", "/"},          {"", ""},
        {"//a", "a"},        {"a/b", "b"},          {"a/", "a"},
    };
    for (const auto& [path, last] : cases)
        EXPECT_EQ(ShellCommand::lastPathComponent(path), last) << path;
}

TEST(ShellCommand, FileSystemQuestionsAskTheSystem) {
    testing::TemporaryFolder temporary;
    std::filesystem::create_directory(temporary / "folder");
    std::ofstream(temporary / "file") << "x";
    std::filesystem::create_directory_symlink(temporary / "folder", temporary / "link");
    std::filesystem::create_symlink(temporary / "missing", temporary / "dangling");
    const std::pair<std::string, bool> folders[] = {
        {temporary / "folder", true},
        {temporary / "link", true},
        {temporary / "file", false},
        {temporary / "dangling", false},
        {temporary / "missing", false},
        {"", false},
        {"tmp", false}, // relative, even where the working folder has one
    };
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path("/");
    for (const auto& [path, isFolder] : folders)
        EXPECT_EQ(ShellCommand::isFolder(path), isFolder) << path;
    std::filesystem::current_path(previous);

    EXPECT_TRUE(ShellCommand::localeExists("C"));
    EXPECT_TRUE(ShellCommand::localeExists("POSIX"));
    EXPECT_FALSE(ShellCommand::localeExists("xx_NOWHERE.UTF-8"));
    EXPECT_FALSE(ShellCommand::localeExists(""));
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

TEST(UserAccount, CurrentMatchesTheAccountDatabase) {
    const passwd* entry = ::getpwuid(::getuid());
    if (!entry)
        GTEST_SKIP() << "no account database entry";
    std::string shell = *entry->pw_shell ? entry->pw_shell : "/bin/zsh";
    EXPECT_EQ(UserAccount::current(), (UserAccount{entry->pw_name, entry->pw_dir, shell}));
}

} // namespace
} // namespace veltro
