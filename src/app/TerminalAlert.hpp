#pragma once

#include "app/Alert.hpp"

#include <istream>
#include <ostream>

namespace veltro {

// An alert on the terminal: the message text, then the informative text, on standard error.
// With buttons it asks for a choice when standard input is a terminal; without one to ask (a
// service, a pipe) it takes the last button, which is the one that changes nothing.
class TerminalAlert : public Alert {
public:
    TerminalAlert(std::istream& input, std::ostream& output, bool inputIsTerminal);
    // Standard input and standard error.
    static TerminalAlert standard();

    int runModal(const AlertContent& content) override;

private:
    int ask(const std::vector<std::string>& buttons);

    std::istream& input;
    std::ostream& output;
    bool inputIsTerminal;
};

} // namespace veltro
