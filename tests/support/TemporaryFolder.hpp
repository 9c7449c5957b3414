#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace veltro::testing {

// A fresh folder (private, mode 0700, unless told otherwise) under the system's temporary
// folder, removed with everything in it when the object goes.
class TemporaryFolder {
public:
    explicit TemporaryFolder(mode_t mode = 0700) {
        std::string pattern = (std::filesystem::temp_directory_path() / "veltro-test-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr || ::chmod(pattern.c_str(), mode) != 0)
            throw std::runtime_error("cannot make a temporary folder");
        path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace veltro::testing
