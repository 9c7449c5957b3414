#include "client/command/CommandLine.hpp"
#include "client/command/DetachKey.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace veltro;
using namespace veltro::command;
using ::testing::HasSubstr;

namespace {

ParsedCommandLine parsed(std::vector<std::string_view> arguments) {
    return parseCommandLine(arguments);
}

std::string problemOf(std::vector<std::string_view> arguments) {
    return parsed(std::move(arguments)).problem.value_or("(none)");
}

Bytes bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

} // namespace

TEST(TerminalCommandLine, ReadsEachOptionInBothFormsAndRefusesWhatCannotWork) {
    auto kept = parsed({"--keep=3600", "--detach-key", "^]", "--shell", "/bin/sh", "--env=A=b=c"});
    ASSERT_EQ(kept.problem, std::nullopt);
    EXPECT_EQ(kept.options.action, Options::Action::open);
    EXPECT_EQ(kept.options.keep, 3600);
    EXPECT_EQ(kept.options.detachKey, 0x1d);
    EXPECT_EQ(kept.options.shell, "/bin/sh");
    EXPECT_EQ(kept.options.environment, (Environment{{"A", "b=c"}}));

    auto attach = parsed({"--attach", "3f2a", "--detach-key=^\\"});
    ASSERT_EQ(attach.problem, std::nullopt);
    EXPECT_EQ(attach.options.action, Options::Action::attach);
    EXPECT_EQ(attach.options.attach, "3f2a");
    EXPECT_EQ(attach.options.detachKey, 0x1c);
    EXPECT_EQ(parsed({"--list"}).options.action, Options::Action::list);
    // ssh's options start with a dash and are taken as values all the same, in order.
    auto remote =
        parsed({"--ssh", "me@host", "--ssh-option", "-p2222", "--ssh-option=-oBatchMode=yes",
                "--remote-command", "veltro-terminal-helper --proxy", "--list"});
    ASSERT_EQ(remote.problem, std::nullopt);
    EXPECT_EQ(remote.options.ssh, "me@host");
    EXPECT_EQ(remote.options.sshOptions, (std::vector<std::string>{"-p2222", "-oBatchMode=yes"}));
    EXPECT_EQ(remote.options.remoteCommand, "veltro-terminal-helper --proxy");
    // Help answers at once, whatever follows it.
    EXPECT_EQ(parsed({"--keep", "1", "-h", "--bogus"}).options.action, Options::Action::help);

    EXPECT_THAT(problemOf({"--keep", "604801"}), HasSubstr("from 0 to 604800"));
    EXPECT_THAT(problemOf({"--keep", "10s"}), HasSubstr("from 0 to 604800"));
    EXPECT_THAT(problemOf({"--keep"}), HasSubstr("from 0 to 604800"));
    EXPECT_THAT(problemOf({"--attach="}), HasSubstr("--attach needs"));
    EXPECT_THAT(problemOf({"--list", "--attach", "ab"}), HasSubstr("only one of"));
    EXPECT_THAT(problemOf({"--attach", "ab", "--keep", "60"}), HasSubstr("not with --attach"));
    EXPECT_THAT(problemOf({"--list", "--detach-key", "^]"}), HasSubstr("take no other option"));
    // A shell that is not kept would end with the detach.
    EXPECT_THAT(problemOf({"--keep", "0", "--detach-key", "^]"}), HasSubstr("needs --keep"));
    EXPECT_THAT(problemOf({"--keeper", "5"}), HasSubstr("unknown argument"));
    EXPECT_THAT(problemOf({"--env", "=x"}), HasSubstr("NAME=VALUE"));
    // A host that ssh would read as an option.
    EXPECT_THAT(problemOf({"--ssh", "-oProxyCommand=x"}), HasSubstr("--ssh needs a host"));
    EXPECT_THAT(problemOf({"--ssh"}), HasSubstr("--ssh needs a host"));
    EXPECT_THAT(problemOf({"--ssh-option", "-p2"}), HasSubstr("need --ssh"));
    EXPECT_THAT(problemOf({"--remote-command=x"}), HasSubstr("need --ssh"));
}

TEST(TerminalCommandLine, DetachKeyIsAControlKeyInCaretNotationButNeverEscape) {
    EXPECT_EQ(parseDetachKey("^a"), 0x01);
    EXPECT_EQ(parseDetachKey("^@"), 0x00);
    EXPECT_EQ(parseDetachKey("^_"), 0x1f);
    EXPECT_EQ(parseDetachKey("^?"), 0x7f);
    for (std::string_view wrong : {"^[", "^", "]", "^]]", "^1", "^`", "C-]", ""})
        EXPECT_EQ(parseDetachKey(wrong), std::nullopt) << wrong;
}

TEST(DetachKeyFilter, FindsTheKeyTypedButNotInsidePastesWhoseMarkersMayBeCut) {
    DetachKeyFilter none(std::nullopt);
    EXPECT_EQ(none.find(bytes("ab\x1d")), std::nullopt);

    DetachKeyFilter filter(0x1d);
    EXPECT_EQ(filter.find(bytes("ls\r")), std::nullopt);
    EXPECT_EQ(filter.find(bytes("ab\x1d"
                                "cd")),
              2u);
    // A paste may carry the key's byte; only the end of the paste lets it count again.
    EXPECT_EQ(filter.find(bytes("\x1b[200~x\x1dy")), std::nullopt);
    EXPECT_EQ(filter.find(bytes("\x1d\x1b[20")), std::nullopt);
    EXPECT_EQ(filter.find(bytes("1~\x1d")), 2u);
    // Escapes that start but do not finish a marker, and the start marker cut after its Escape.
    EXPECT_EQ(filter.find(bytes("\x1b[A\x1b\x1b[2x\x1d")), 8u);
    EXPECT_EQ(filter.find(bytes("\x1b")), std::nullopt);
    EXPECT_EQ(filter.find(bytes("[200~\x1d\x1b[201~")), std::nullopt);
    EXPECT_EQ(filter.find(bytes("\x1d")), 0u);
}

TEST(ShellMatch, AUniqueStartOfAnIdInEitherCaseWithOrWithoutDashesPicksItsShell) {
    auto a = *UUID::parse("3f2a9c10-0000-4000-8000-000000000001");
    auto b = *UUID::parse("3f2a9c10-0000-4000-8000-000000000002");
    auto c = *UUID::parse("7b000000-0000-4000-8000-000000000003");
    std::vector<UUID> ids{a, b, c};

    EXPECT_EQ(matchShell("7", ids).id, c);
    EXPECT_EQ(matchShell("3F2A9C10-0000-4000-8000-000000000002", ids).id, b);
    EXPECT_EQ(matchShell("3f2a9c10000040008000000000000001", ids).id, a);
    EXPECT_EQ(matchShell("3f2a9c10-0000-4000-8000-00000000000", ids).id, std::nullopt);

    auto ambiguous = matchShell("3f2a", ids);
    EXPECT_EQ(ambiguous.id, std::nullopt);
    EXPECT_THAT(ambiguous.problem, HasSubstr("start of 2 kept shells' ids"));
    EXPECT_THAT(ambiguous.problem, HasSubstr(a.string()));
    EXPECT_THAT(ambiguous.problem, HasSubstr(b.string()));

    EXPECT_THAT(matchShell("9", ids).problem, HasSubstr("No kept shell has an id"));
    for (std::string_view wrong : {"", "-", "3f2g"})
        EXPECT_THAT(matchShell(wrong, ids).problem, HasSubstr("is not the id of a shell"));
}

TEST(KeptShellTable, LinesUpEveryShellUnderItsHeadings) {
    EXPECT_EQ(keptShellTable({}), "No kept shells.\n");
    KeptShellInfo attached;
    attached.id = *UUID::parse("3f2a9c10-0000-4000-8000-000000000001");
    attached.pid = 812;
    attached.attached = true;
    attached.folder = "/home/ü";
    attached.program = "vim";
    KeptShellInfo waiting;
    waiting.id = *UUID::parse("7b000000-0000-4000-8000-000000000003");
    waiting.pid = 31337;
    waiting.exited = true;
    waiting.left = 3 * 3600 + 20 * 60 + 59;
    EXPECT_EQ(keptShellTable({attached, waiting}),
              "ID                                    PID    ATTACHED  LEFT    PROGRAM   FOLDER\n"
              "3F2A9C10-0000-4000-8000-000000000001  812    yes       -       vim       /home/ü\n"
              "7B000000-0000-4000-8000-000000000003  31337  no        3h 20m  (exited)  -\n");
    EXPECT_EQ(durationText(65), "1m 05s");
    EXPECT_EQ(durationText(604800), "7d 00h");
}
