#include "client/command/Terminal.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace veltro::command {

WindowSize windowSize() {
    winsize size{};
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0)
            return {size.ws_col, size.ws_row};
    return {};
}

void writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN) {
            // Interrupted or failed, the write below tries again and tells.
            pollfd entry{fd, POLLOUT, 0};
            (void)::poll(&entry, 1, -1);
            continue;
        }
        if (written <= 0)
            return;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

RawMode::RawMode() {
    if (::isatty(STDIN_FILENO) != 1 || ::tcgetattr(STDIN_FILENO, &saved) != 0)
        return;
    termios raw = saved;
    ::cfmakeraw(&raw);
    // TCSADRAIN, not TCSAFLUSH: what the user typed before the shell was ready (during a
    // build, say) is kept and reaches the shell instead of being thrown away.
    if (::tcsetattr(STDIN_FILENO, TCSADRAIN, &raw) == 0)
        active = true;
}

void RawMode::restore() {
    // Typeahead is kept here too, for whatever runs next. A failure leaves nothing to do:
    // the terminal is gone or no longer ours.
    if (active)
        (void)::tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
    active = false;
}

} // namespace veltro::command
