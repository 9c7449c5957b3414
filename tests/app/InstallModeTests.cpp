#include "app/InstallMode.hpp"
#include "app/TerminalAlert.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <sstream>

namespace veltro {
namespace {

using PeerRequirement::Signer;

class FakeServiceManagement : public ServiceManagement {
public:
    // The statuses answered in turn; the last one repeats.
    FakeServiceManagement(std::deque<int> statuses, std::optional<std::string> error = {})
        : statuses(std::move(statuses)), error(std::move(error)) {}

    std::optional<std::string> registerAgent() override {
        ++registrations;
        return error;
    }
    int status() override {
        ++statusReads;
        int value = statuses.front();
        if (statuses.size() > 1)
            statuses.pop_front();
        return value;
    }
    void openSettings() override { ++settingsOpened; }

    std::deque<int> statuses;
    std::optional<std::string> error;
    int registrations = 0;
    int statusReads = 0;
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

struct Outcome {
    int status;
    std::string printed;
};

Outcome install(const Signer& signer, ServiceManagement& service, Alert& alert) {
    std::ostringstream output;
    int status = runInstallMode(signer, service, alert, output);
    return {status, output.str()};
}

const std::string approvalInformative =
    "Veltro's terminal tabs need it. Turn on \u201cVeltro Terminal Helper\u201d under Allow in the "
    "Background, then open a terminal tab again.";

TEST(InstallMode, BuildWithoutTeamIsNeverRegisteredAndSaysMakeLocalLoadsIt) {
    for (const Signer& signer : {Signer::adHoc(), Signer::certificate("ab12")}) {
        FakeServiceManagement service({1});
        FakeAlert alert;
        Outcome outcome = install(signer, service, alert);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.printed, "Veltro Terminal Helper: signed without a team, so make local "
                                   "loads its launch agent\n");
        EXPECT_EQ(service.registrations, 0);
        EXPECT_EQ(service.statusReads, 0);
        ASSERT_EQ(alert.shown.size(), 1u);
        EXPECT_EQ(alert.shown[0].messageText, "Veltro Terminal Helper isn\u2019t loaded");
        EXPECT_EQ(alert.shown[0].informativeText,
                  "This copy was built with make local, which loads it. Run make local again.");
        EXPECT_TRUE(alert.shown[0].buttons.empty());
    }
}

TEST(InstallMode, WithATeamItRegistersPrintsTheStatusAndAlertsOnlyWhenSomethingRemainsToDo) {
    const std::string setup = "Veltro Terminal Helper couldn\u2019t set itself up";
    const std::string approval = "Allow Veltro Terminal Helper in Login Items";
    struct Case {
        std::deque<int> statuses;
        std::optional<std::string> error;
        int answer;
        std::string printed;
        std::optional<std::string> alert;
        std::string informative;
        int settingsOpened;
    };
    const Case cases[] = {
        {{1}, {}, 0, "agent status 1", {}, "", 0},
        {{0}, {}, 0, "agent status 0", {}, "", 0},
        {{3}, {}, 0, "agent status 3", {}, "", 0},
        {{0},
         "Operation not permitted",
         0,
         "agent status 0, error: Operation not permitted",
         setup,
         "Operation not permitted",
         0},
        {{3},
         "The units aren\u2019t installed.",
         0,
         "agent status 3, error: The units aren\u2019t installed.",
         setup,
         "The units aren\u2019t installed.",
         0},
        {{2}, {}, 0, "agent status 2", approval, approvalInformative, 1},
        {{2}, {}, 1, "agent status 2", approval, approvalInformative, 0},
        // The approval alert wins over a registration error, which only the line shows.
        {{2},
         "Already registered",
         1,
         "agent status 2, error: Already registered",
         approval,
         approvalInformative,
         0},
        // Each step reads the status afresh: printed 1, then approval is required.
        {{1, 2, 2}, {}, 1, "agent status 1", approval, approvalInformative, 0},
    };
    for (const Case& c : cases) {
        FakeServiceManagement service(c.statuses, c.error);
        FakeAlert alert(Alert::firstButtonResponse + c.answer);
        Outcome outcome = install(Signer::team("KQ7310ZV4M"), service, alert);
        SCOPED_TRACE(c.printed);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.printed, "Veltro Terminal Helper: " + c.printed + "\n");
        EXPECT_EQ(service.registrations, 1);
        ASSERT_EQ(alert.shown.size(), c.alert ? 1u : 0u);
        if (c.alert) {
            EXPECT_EQ(alert.shown[0].messageText, *c.alert);
            EXPECT_EQ(alert.shown[0].informativeText, c.informative);
            if (*c.alert == approval) {
                EXPECT_EQ(alert.shown[0].buttons,
                          (std::vector<std::string>{"Open Login Items", "Later"}));
            }
        }
        EXPECT_EQ(service.settingsOpened, c.settingsOpened);
    }
}

TEST(TerminalAlert, WritesMessageThenInformativeTextAndTakesLastButtonWithoutATerminal) {
    std::istringstream input("1\n");
    std::ostringstream output;
    TerminalAlert alert(input, output, false);
    int answer = alert.runModal({"Title", "Details.", {"Open", "Later"}});
    EXPECT_EQ(answer, Alert::firstButtonResponse + 1);
    EXPECT_EQ(output.str(), "Title\nDetails.\n");
}

TEST(TerminalAlert, AsksOnATerminalUntilAValidChoice) {
    std::istringstream input("x\n7\n1\n");
    std::ostringstream output;
    TerminalAlert alert(input, output, true);
    EXPECT_EQ(alert.runModal({"Title", "", {"Open", "Later"}}), Alert::firstButtonResponse);
    EXPECT_TRUE(output.str().starts_with("Title\n  1) Open\n  2) Later\n"));
}

TEST(TerminalAlert, EndOfInputTakesTheLastButtonAndNoButtonsNeedNoAnswer) {
    std::istringstream input("");
    std::ostringstream output;
    TerminalAlert alert(input, output, true);
    EXPECT_EQ(alert.runModal({"Title", "", {"Open", "Later"}}), Alert::firstButtonResponse + 1);
    EXPECT_EQ(alert.runModal({"Only", "Text", {}}), Alert::firstButtonResponse);
}

} // namespace
} // namespace veltro
