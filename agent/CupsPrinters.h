#pragma once

#include "AgentCore.h"

#include <future>
#include <mutex>
#include <optional>
#include <vector>

namespace kestrel::agent {

// The print system's destinations, the default one marked, in the order the
// print system lists them.
class CupsPrinters {
public:
    using Result = std::optional<std::vector<Printer>>;

    // Nothing when the print system cannot be asked or has not answered
    // within 1.5 seconds, so that the application's status request (2 seconds
    // at most) always gets a reply. Requests that arrive while a query is
    // still running share it instead of starting another.
    Result operator()();

private:
    std::mutex m_mutex;
    std::shared_future<Result> m_query;
};

} // namespace kestrel::agent
