#pragma once

#include <dirent.h>
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

} // namespace veltro::testing
