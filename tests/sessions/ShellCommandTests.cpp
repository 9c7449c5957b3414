#include "sessions/ShellCommand.hpp"
#include "sessions/UserAccount.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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
                     const Environment& request = {}, const std::string& folder = "/work") {
    return ShellCommand(shell, folder, account, base, request, "de_CH", anyFolder, everyLocale);
}

using Arguments = std::vector<std::string>;

TEST(ShellCommand, LoginShellRunsAccountShellWithDashedNameAndKeepsStartupVariables) {
    ShellCommand result = command(std::nullopt, {{"ENV", "/e"}, {"BASH_ENV", "/b"}});
    EXPECT_EQ(result.path, "/bin/zsh");
    EXPECT_EQ(result.arguments, Arguments{"-zsh"});
    EXPECT_EQ(result.environment.at("SHELL"), "/bin/zsh");
    EXPECT_EQ(result.environment.at("ENV"), "/e");
    EXPECT_EQ(result.environment.at("BASH_ENV"), "/b");
}

TEST(ShellCommand, NamedShellSkipsStartupFilesByName) {
    struct Case {
        std::string shell;
        Arguments arguments;
    };
    const Case cases[] = {
        {"/bin/zsh", {"zsh", "-f"}},
        {"/opt/homebrew/bin/bash", {"bash", "--noprofile", "--norc"}},
        {"/usr/local/bin/fish", {"fish"}},
        {"bash", {"bash", "--noprofile", "--norc"}},
        {"/usr/bin/Bash", {"Bash"}},
        {"/bin/zsh/", {"zsh", "-f"}},
        {"", {""}},
    };
    for (const Case& c : cases) {
        ShellCommand result = command(c.shell, {{"ENV", "/e"}, {"BASH_ENV", "/b"}});
        EXPECT_EQ(result.path, c.shell);
        EXPECT_EQ(result.arguments, c.arguments) << c.shell;
        EXPECT_EQ(result.environment.at("SHELL"), c.shell);
        EXPECT_FALSE(result.environment.contains("ENV")) << c.shell;
        EXPECT_FALSE(result.environment.contains("BASH_ENV")) << c.shell;
    }
}

TEST(ShellCommand, LoginShellNameComesFromAccountShellPath) {
    UserAccount other{"you", "/home/you", "/usr/bin/fish"};
    ShellCommand result(std::nullopt, "/", other, {}, {}, "", anyFolder, everyLocale);
    EXPECT_EQ(result.path, "/usr/bin/fish");
    EXPECT_EQ(result.arguments, Arguments{"-fish"});
}

TEST(ShellCommand, BuildsTheWholeEnvironmentAndPassesOtherVariablesThrough) {
    Environment base{{"PATH", "/usr/bin"},    {"XPC_SERVICE_NAME", "x"}, {"OLDPWD", "/old"},
                     {"PWD", "/elsewhere"},   {"TERM", "vt100"},         {"HOME", "/wrong"},
                     {"LANG", "fr_FR.UTF-8"}, {"EDITOR", "vi"}};
    ShellCommand result = command(std::nullopt, base);
    Environment expected{
        {"PATH", "/usr/bin"},       {"PWD", "/work"},
        {"TERM", "xterm-256color"}, {"COLORTERM", "truecolor"},
        {"TERM_PROGRAM", "Veltro"}, {"LANG", "fr_FR.UTF-8"},
        {"HOME", "/home/me"},       {"USER", "me"},
        {"LOGNAME", "me"},          {"SHELL", "/bin/zsh"},
        {"EDITOR", "vi"},
    };
    EXPECT_EQ(result.environment, expected);
    EXPECT_EQ(result.folder, "/work");
}

TEST(ShellCommand, RequestEnvironmentWinsOverEveryOtherSourceIncludingRemovals) {
    Environment request{{"TERM", "dumb"},      {"LANG", "ja_JP.UTF-8"},
                        {"BASH_ENV", "/mine"}, {"XPC_SERVICE_NAME", "kept"},
                        {"OLDPWD", "/prev"},   {"HOME", "/h"}};
    ShellCommand result = command("/bin/bash", {{"LANG", "C"}}, request);
    for (const auto& [key, value] : request)
        EXPECT_EQ(result.environment.at(key), value) << key;
}

TEST(ShellCommand, UnusableFolderFallsBackToHomeWithoutTestingHome) {
    std::vector<std::string> asked;
    auto recordNoFolder = [&](const std::string& path) {
        asked.push_back(path);
        return false;
    };
    ShellCommand result(std::nullopt, "relative/path", account, {}, {}, "", recordNoFolder,
                        everyLocale);
    EXPECT_EQ(result.folder, "/home/me");
    EXPECT_EQ(result.environment.at("PWD"), "/home/me");
    EXPECT_EQ(asked, std::vector<std::string>{"relative/path"});
}

TEST(ShellCommand, LanguageIsKeptWhenSetAndDefaultedWhenEmptyOrMissing) {
    EXPECT_EQ(command(std::nullopt, {{"LANG", "C"}}).environment.at("LANG"), "C");
    EXPECT_EQ(command(std::nullopt, {{"LANG", ""}}).environment.at("LANG"), "de_CH.UTF-8");
    EXPECT_EQ(command(std::nullopt, {}).environment.at("LANG"), "de_CH.UTF-8");
}

TEST(ShellCommand, DefaultLanguageBuildsPosixNameFromLocaleIdentifier) {
    const std::pair<std::string, std::string> cases[] = {
        {"en_US", "en_US.UTF-8"},
        {"zh-Hans_CN", "zh_CN.UTF-8"},
        {"de_CH@currency=EUR", "de_CH.UTF-8"},
        {"sr_Latn_RS@calendar=gregorian", "sr_RS.UTF-8"},
        {"__en__US__", "en_US.UTF-8"},
        {"@de_CH", "de_CH.UTF-8"},
        {"fr", "en_US.UTF-8"},
        {"", "en_US.UTF-8"},
        {"@", "en_US.UTF-8"},
        {"_-_", "en_US.UTF-8"},
    };
    for (const auto& [identifier, language] : cases)
        EXPECT_EQ(ShellCommand::defaultLanguage(identifier, everyLocale), language) << identifier;
}

TEST(ShellCommand, DefaultLanguageFallsBackToWhatIsInstalled) {
    auto allButBrazil = [](const std::string& name) { return name != "pt_BR.UTF-8"; };
    EXPECT_EQ(ShellCommand::defaultLanguage("pt_BR", allButBrazil), "en_US.UTF-8");
    auto onlyC = [](const std::string& name) { return name == "C.UTF-8"; };
    EXPECT_EQ(ShellCommand::defaultLanguage("pt_BR", onlyC), "C.UTF-8");
    EXPECT_EQ(ShellCommand::defaultLanguage("", onlyC), "C.UTF-8");
}

TEST(ShellCommand, PreferredLocaleTakesFirstSetCategoryWithoutCodesetOrModifier) {
    const std::pair<Environment, std::string> cases[] = {
        {{{"LANG", "de_CH.UTF-8@euro"}}, "de_CH"},
        {{{"LANG", "de_CH@euro"}}, "de_CH"},
        {{{"LC_ALL", "fr_FR.UTF-8"}, {"LC_CTYPE", "it_IT"}, {"LANG", "de_DE"}}, "fr_FR"},
        {{{"LC_ALL", ""}, {"LC_CTYPE", "it_IT.ISO-8859-1"}, {"LANG", "de_DE"}}, "it_IT"},
        {{{"LC_ALL", "C"}, {"LANG", "de_DE"}}, ""},
        {{{"LANG", "POSIX"}}, ""},
        {{{"LANG", "C.UTF-8"}}, ""},
        {{{"LC_MESSAGES", "de_DE"}}, ""},
        {{}, ""},
    };
    for (const auto& [environment, identifier] : cases)
        EXPECT_EQ(ShellCommand::preferredLocale(environment), identifier);
}

TEST(ShellCommand, LastPathComponentFollowsPathConventions) {
    const std::pair<std::string, std::string> cases[] = {
        {"/bin/zsh", "zsh"},
        {"/bin/zsh/", "zsh"},
        {"/bin/zsh//", "zsh"},
        {"zsh", "zsh"},
        {"/", "/"},
        {"///", "/"},
        {"", ""},
        {"//a", "a"},
        {"a/b", "b"},
        {"a/", "a"},
    };
    for (const auto& [path, last] : cases)
        EXPECT_EQ(ShellCommand::lastPathComponent(path), last) << path;
}

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "veltro-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder() { std::filesystem::remove_all(path); }

    std::filesystem::path path;
};

TEST(ShellCommand, IsFolderAcceptsOnlyAbsolutePathsOfFoldersFollowingLinks) {
    TemporaryFolder temporary;
    std::filesystem::path folder = temporary.path / "folder";
    std::filesystem::create_directory(folder);
    std::ofstream(temporary.path / "file") << "x";
    std::filesystem::create_directory_symlink(folder, temporary.path / "link");
    std::filesystem::create_symlink(temporary.path / "missing", temporary.path / "dangling");

    EXPECT_TRUE(ShellCommand::isFolder(folder.string()));
    EXPECT_TRUE(ShellCommand::isFolder((temporary.path / "link").string()));
    EXPECT_FALSE(ShellCommand::isFolder((temporary.path / "file").string()));
    EXPECT_FALSE(ShellCommand::isFolder((temporary.path / "dangling").string()));
    EXPECT_FALSE(ShellCommand::isFolder((temporary.path / "missing").string()));
    EXPECT_FALSE(ShellCommand::isFolder(""));

    char current[4096];
    ASSERT_NE(::getcwd(current, sizeof current), nullptr);
    ASSERT_EQ(::chdir("/"), 0);
    EXPECT_FALSE(ShellCommand::isFolder("tmp"));
    EXPECT_EQ(::chdir(current), 0);
}

TEST(ShellCommand, LocaleExistsAsksTheCLibrary) {
    EXPECT_TRUE(ShellCommand::localeExists("C"));
    EXPECT_TRUE(ShellCommand::localeExists("POSIX"));
    EXPECT_FALSE(ShellCommand::localeExists("xx_NOWHERE.UTF-8"));
    EXPECT_FALSE(ShellCommand::localeExists(""));
}

TEST(UserAccount, DatabaseEntryOverridesWhatItHas) {
    char name[] = "db", home[] = "/db/home", shell[] = "/bin/bash", empty[] = "";
    passwd entry{};
    entry.pw_name = name;
    entry.pw_dir = home;
    entry.pw_shell = shell;
    EXPECT_EQ(UserAccount::resolve("env", "/env", &entry),
              (UserAccount{"db", "/db/home", "/bin/bash"}));

    entry.pw_dir = empty;
    entry.pw_shell = empty;
    EXPECT_EQ(UserAccount::resolve("env", "/env", &entry), (UserAccount{"db", "", "/bin/zsh"}));

    entry.pw_name = nullptr;
    entry.pw_dir = nullptr;
    entry.pw_shell = nullptr;
    EXPECT_EQ(UserAccount::resolve("env", "/env", &entry),
              (UserAccount{"env", "/env", "/bin/zsh"}));
}

TEST(UserAccount, MissingEntryKeepsEnvironmentAndZsh) {
    EXPECT_EQ(UserAccount::resolve("env", "/env", nullptr),
              (UserAccount{"env", "/env", "/bin/zsh"}));
}

TEST(UserAccount, CurrentMatchesAccountDatabaseWhenThereIsAnEntry) {
    const passwd* entry = ::getpwuid(::getuid());
    UserAccount current = UserAccount::current();
    if (!entry) {
        EXPECT_EQ(current.shell, "/bin/zsh");
        return;
    }
    EXPECT_EQ(current.name, entry->pw_name);
    EXPECT_EQ(current.home, entry->pw_dir);
    std::string shell = entry->pw_shell && *entry->pw_shell ? entry->pw_shell : "/bin/zsh";
    EXPECT_EQ(current.shell, shell);
}

} // namespace
} // namespace veltro
