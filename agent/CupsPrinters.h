#pragma once

#include "AgentCore.h"

#include <optional>
#include <vector>

namespace kestrel::agent {

// The print system's destinations, the default one marked, in the order the
// print system lists them; nothing when it cannot be asked within about
// 1.5 seconds, so that a status request of the application still gets its
// answer within its 2-second limit.
std::optional<std::vector<Printer>> cupsPrinters();

} // namespace kestrel::agent
