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

// A copy without a team cannot be registered: the person is told how it is loaded instead.
TEST(InstallMode, BuildWithoutTeamIsNeverRegisteredAndSaysMakeLocalLoadsIt) {
    for (const Signer& signer : {Signer::adHoc(), Signer::certificate("ab12")}) {
        FakeServiceManagement service({1});
        FakeAlert alert;
        std::ostringstream printed;
        EXPECT_EQ(runInstallMode(signer, service, alert, printed), 0);
        EXPECT_NE(printed.str().find("make local"), std::string::npos) << printed.str();
        EXPECT_EQ(service.registrations + service.statusReads, 0);
        ASSERT_EQ(alert.shown.size(), 1u);
        EXPECT_NE(alert.shown[0].informativeText.find("make local"), std::string::npos);
    }
}

TEST(InstallMode, WithATeamItRegistersPrintsTheStatusAndAlertsOnlyWhenSomethingRemainsToDo) {
    enum class Shown { nothing, error, approval };
    struct Case {
        std::deque<int> statuses;
        std::optional<std::string> error;
        int answer;
        std::string printed;
        Shown shown;
        int settingsOpened;
    };
    const Case cases[] = {
        {{1}, {}, 0, "agent status 1", Shown::nothing, 0},
        {{0},
         "Operation not permitted",
         0,
         "agent status 0, error: Operation not permitted",
         Shown::error,
         0},
        {{2}, {}, 0, "agent status 2", Shown::approval, 1},
        {{2}, {}, 1, "agent status 2", Shown::approval, 0},
        // The approval alert wins over a registration error, which only the line shows.
        {{2},
         "Already registered",
         0,
         "agent status 2, error: Already registered",
         Shown::approval,
         1},
        // Each step reads the status afresh: printed 1, then approval is required.
        {{1, 2, 2}, {}, 1, "agent status 1", Shown::approval, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.printed);
        FakeServiceManagement service(c.statuses, c.error);
        FakeAlert alert(Alert::firstButtonResponse + c.answer);
        std::ostringstream printed;
        EXPECT_EQ(runInstallMode(Signer::team("KQ7310ZV4M"), service, alert, printed), 0);
        EXPECT_EQ(printed.str(), "Veltro Terminal Helper: " + c.printed + "\n");
        EXPECT_EQ(service.registrations, 1);
        ASSERT_EQ(alert.shown.size(), c.shown == Shown::nothing ? 0u : 1u);
        if (c.shown == Shown::error) {
            EXPECT_EQ(alert.shown[0].informativeText, *c.error);
        }
        if (c.shown == Shown::approval) {
            EXPECT_EQ(alert.shown[0].buttons.size(), 2u);
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
