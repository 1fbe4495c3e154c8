#pragma once

// An agent as the fuzz targets need it: its data folder in a fresh private
// folder of the shared-memory file system (state files are synced on every
// write), a fixed application secret, and printers named by the input.

#include "AgentCore.h"
#include "DataStore.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrel::fuzz {

inline const std::string appSecret(72, 'S');

inline std::filesystem::path scratchFolder() {
    std::string pattern =
        (std::filesystem::exists("/dev/shm") ? std::string("/dev/shm") : std::string("/tmp")) +
        "/kestrel-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        std::abort();
    return pattern;
}

} // namespace kestrel::fuzz
