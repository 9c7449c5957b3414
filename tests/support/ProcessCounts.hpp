#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace veltro::testing {

// Descriptors this process has open right now.
inline int openDescriptors() {
    int count = 0;
    DIR* folder = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(folder))
        if (entry->d_name[0] != '.')
            ++count;
    ::closedir(folder);
    return count - 1;
}

// Children of `parent`, alive or not yet reaped, found without reaping them.
inline int childProcesses(pid_t parent = ::getpid()) {
    int count = 0;
    const std::string wanted = "PPid:\t" + std::to_string(parent);
    DIR* folder = ::opendir("/proc");
    while (dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        std::ifstream status(std::string("/proc/") + entry->d_name + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("PPid:", 0) == 0) {
                count += line == wanted;
                break;
            }
    }
    ::closedir(folder);
    return count;
}

// Lowers the descriptor limit so that exactly `free` more descriptors can be opened, and answers
// the limit before, for the test to set again.
inline rlimit leaveFreeDescriptors(int free) {
    rlimit before{};
    ::getrlimit(RLIMIT_NOFILE, &before);
    rlimit lowered{0, before.rlim_max};
    while (::fcntl(static_cast<int>(lowered.rlim_cur), F_GETFD) != -1 || free-- > 0)
        ++lowered.rlim_cur;
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    return before;
}

} // namespace veltro::testing
