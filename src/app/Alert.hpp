#pragma once

#include <string>
#include <vector>

namespace veltro {

// What an alert says and which buttons it offers, first button first. No buttons means the one
// default button that only dismisses it.
struct AlertContent {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;
};

// Shows an alert and waits until the person answers it.
class Alert {
public:
    // The answer for the first button; the second is one more, and so on.
    static constexpr int firstButtonResponse = 1000;

    virtual ~Alert() = default;
    virtual int runModal(const AlertContent& content) = 0;
};

} // namespace veltro
