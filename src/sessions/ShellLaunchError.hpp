#pragma once

#include <exception>
#include <string>

namespace veltro {

// The one error that reaches a client: its description is the whole message for the user.
class ShellLaunchError : public std::exception {
public:
    explicit ShellLaunchError(std::string description) : description(std::move(description)) {}
    const char* what() const noexcept override { return description.c_str(); }

    std::string description;
};

} // namespace veltro
