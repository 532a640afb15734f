// Host folders for the benchmarks' volumes: on a memory-backed file system
// where there is one (/dev/shm), so the host's disk waits stay out of the
// figures. Each benchmark shows the folder as its run's label.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace vbench {

inline std::filesystem::path ScratchFolder(const std::string& name) {
    std::error_code error;
    const std::filesystem::path shm = "/dev/shm";
    const std::filesystem::path base = std::filesystem::is_directory(shm, error) ? shm : std::filesystem::temp_directory_path();
    return base / ("vetrona-bench-" + name + "-" + std::to_string(::getpid()));
}

}  // namespace vbench
