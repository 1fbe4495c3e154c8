#pragma once

#include "AgentCore.h"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace boost::asio {
class io_context;
class thread_pool;
} // namespace boost::asio

namespace kestrel::agent {

// One diagnostic line, time-stamped, written whole and flushed at once so the
// application's log file gets it promptly and lines of several threads never
// mix.
void logLine(std::FILE* stream, std::string_view event);

// What one connection may cost. Any local process, and any web page the user
// opens, can reach the port without the secret, so everything a connection
// holds is bounded and given back when it ends.
struct ServiceLimits {
    std::size_t headerBytes = 8 * 1024; // request line and header fields together
    std::size_t bodyBytes = 64 * 1024;  // chunked, Content-Length or none alike
    // From a request's first byte to the end of its header; a client that
    // trickles its header cannot stretch it.
    std::chrono::milliseconds headerTime{5000};
    std::chrono::milliseconds bodyTime{5000};
    // Waiting for the next request on a kept-alive connection. The application
    // polls every 3 seconds, so its connection stays open.
    std::chrono::milliseconds idleTime{5000};
    std::chrono::milliseconds writeTime{5000};
    // Beyond this many, a new connection closes the one idle for longest
    // (after refused clients still being drained; before any that waits for
    // the print system).
    std::size_t connections = 64;
    // Refusals are written as one summary line per period at most.
    std::chrono::milliseconds refusalSummaryPeriod{10000};
};

// Serves an Agent over plain HTTP on the loopback addresses from one event
// loop: every connection is a state on that loop, not a thread, and nothing
// runs while no request comes. Only the answers that may block (the print
// system) are computed on a small worker pool and handed back to the loop.
class HttpService {
public:
    HttpService(boost::asio::io_context& loop, const Agent& agent, ServiceLimits limits = {});
    ~HttpService();

    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Binds 127.0.0.1 and, where the machine has an IPv6 loopback, ::1, both
    // on `port`. On failure `error` says why and nothing is bound.
    bool bind(int port, std::string& error);

    // The addresses bound, for the diagnostics ("127.0.0.1:43127").
    const std::vector<std::string>& addresses() const;

    // Accepting starts; connections are served while the loop runs.
    void start();

    // Closes the listeners and every connection and writes the pending
    // refusal summary. Safe from any thread; the work is done on the loop.
    void stop();

private:
    struct State;
    friend class Connection;
    std::shared_ptr<State> m_state;
    std::unique_ptr<boost::asio::thread_pool> m_pool;
};

} // namespace kestrel::agent
