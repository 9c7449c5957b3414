#include "app/TerminalAlert.hpp"

#include <unistd.h>

#include <iostream>
#include <string>

namespace veltro {

TerminalAlert::TerminalAlert(std::istream& input, std::ostream& output, bool inputIsTerminal)
    : input(input), output(output), inputIsTerminal(inputIsTerminal) {}

TerminalAlert TerminalAlert::standard() {
    return TerminalAlert(std::cin, std::cerr, ::isatty(STDIN_FILENO) == 1);
}

int TerminalAlert::runModal(const AlertContent& content) {
    output << content.messageText << '\n';
    if (!content.informativeText.empty())
        output << content.informativeText << '\n';
    output.flush();
    if (content.buttons.empty())
        return firstButtonResponse;
    int last = firstButtonResponse + static_cast<int>(content.buttons.size()) - 1;
    if (!inputIsTerminal)
        return last;
    return ask(content.buttons);
}

int TerminalAlert::ask(const std::vector<std::string>& buttons) {
    int last = firstButtonResponse + static_cast<int>(buttons.size()) - 1;
    for (std::size_t index = 0; index < buttons.size(); ++index)
        output << "  " << index + 1 << ") " << buttons[index] << '\n';
    while (true) {
        output << "Choose 1-" << buttons.size() << ": " << std::flush;
        std::string line;
        if (!std::getline(input, line))
            return last;
        if (line.empty())
            continue;
        std::size_t choice = 0;
        try {
            std::size_t used = 0;
            choice = std::stoul(line, &used);
            if (used != line.size())
                choice = 0;
        } catch (const std::exception&) {
            choice = 0;
        }
        if (choice >= 1 && choice <= buttons.size())
            return firstButtonResponse + static_cast<int>(choice) - 1;
    }
}

} // namespace veltro
