#include "app/InstallMode.hpp"
#include "app/TerminalAlert.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace veltro {
namespace {

using PeerRequirement::Signer;

class FakeServiceManagement : public ServiceManagement {
public:
    FakeServiceManagement(int status, std::optional<std::string> error)
        : status_(status), error(std::move(error)) {}

    Expected<void> registerAgent() override {
        ++registrations;
        if (error)
            return unexpected(*error);
        return {};
    }
    int status() override { return status_; }
    void openSettings() override { ++settingsOpened; }

    int status_;
    std::optional<std::string> error;
    int registrations = 0;
    int settingsOpened = 0;
};

class FakeAlert : public Alert {
public:
    explicit FakeAlert(int answer = firstButtonResponse) : answer(answer) {}
    int runModal(const AlertContent& content) override {
        shown.push_back(content);
        return answer;
    }
    int answer;
    std::vector<AlertContent> shown;
};

// Only a team-signed copy can be registered; an alert shows only what is left for the person
// to do: load a copy without a team with make local, approve the agent, or see what failed.
TEST(InstallMode, RegistersOnlyWithATeamPrintsTheStatusAndAlertsOnlyWhenThePersonMustAct) {
    struct Case {
        Signer signer;
        int status;
        std::optional<std::string> error;
        int answer;
        std::string printed;
        std::string alert; // What the alert's informative text holds; empty for no alert.
        int settingsOpened;
    };
    const Signer team = Signer::team("KQ7310ZV4M");
    const std::string approve = "Allow in the Background";
    for (const Case& c : {
             Case{Signer::certificate("ab12"), 2, {}, 0, "signed without a", "make local", 0},
             Case{team, 1, {}, 0, "agent status 1\n", "", 0},
             Case{team, 0, "denied", 0, "agent status 0, error: denied\n", "denied", 0},
             Case{team, 2, {}, 1, "agent status 2\n", approve, 0},
             // The approval alert wins over a registration error, which only the line shows.
             Case{team, 2, "again", 0, "agent status 2, error: again\n", approve, 1},
         }) {
        SCOPED_TRACE(c.printed);
        FakeServiceManagement service(c.status, c.error);
        FakeAlert alert(Alert::firstButtonResponse + c.answer);
        std::ostringstream printed;
        EXPECT_EQ(runInstallMode(c.signer, service, alert, printed), 0);
        EXPECT_EQ(printed.str().rfind("Veltro Terminal Helper: " + c.printed, 0), 0u)
            << printed.str();
        EXPECT_EQ(service.registrations, c.signer.kind == team.kind ? 1 : 0);
        ASSERT_EQ(alert.shown.size(), c.alert.empty() ? 0u : 1u);
        if (!c.alert.empty()) {
            EXPECT_NE(alert.shown[0].informativeText.find(c.alert), std::string::npos);
        }
        EXPECT_EQ(service.settingsOpened, c.settingsOpened);
    }
}

// Without a terminal to ask on (a service, a pipe) the last button, the one that changes
// nothing, is taken; on a terminal the person is asked until the answer is a valid choice.
TEST(TerminalAlert, TakesTheLastButtonWithoutATerminalOrAnswerAndAsksUntilAValidChoice) {
    struct Case {
        std::string input;
        bool terminal;
        std::vector<std::string> buttons;
        int answer;
        std::string printed;
    };
    for (const Case& c : {
             Case{"1\n", false, {"Open", "Later"}, 1, "Title\nDetails.\n"},
             Case{"x\n7\n\n1\n", true, {"Open", "Later"}, 0, "Title\nDetails.\n  1) Open\n"},
             Case{"", true, {"Open", "Later"}, 1, "Title\nDetails.\n  1) Open\n"},
             Case{"", true, {}, 0, "Title\nDetails.\n"},
         }) {
        std::istringstream input(c.input);
        std::ostringstream output;
        TerminalAlert alert(input, output, c.terminal);
        EXPECT_EQ(alert.runModal({"Title", "Details.", c.buttons}),
                  Alert::firstButtonResponse + c.answer)
            << c.input;
        if (c.terminal && !c.buttons.empty()) {
            EXPECT_TRUE(output.str().starts_with(c.printed)) << output.str();
        } else {
            EXPECT_EQ(output.str(), c.printed);
        }
    }
}

} // namespace
} // namespace veltro
