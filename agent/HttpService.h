#pragma once

#include "AgentCore.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace kestrel::agent {

// One diagnostic line, time-stamped, written whole and flushed at once so the
// application's log file gets it promptly and lines of several threads never
// mix.
void logLine(std::FILE* stream, std::string_view event);

// Serves an Agent over plain HTTP on the loopback addresses.
class HttpService {
public:
    explicit HttpService(const Agent& agent);
    ~HttpService();

    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Binds 127.0.0.1 and, where the machine has an IPv6 loopback, ::1, both
    // on `port`. On failure `error` says why and nothing is bound.
    bool bind(int port, std::string& error);

    // The addresses bound, for the diagnostics ("127.0.0.1:43127").
    const std::vector<std::string>& addresses() const { return m_addresses; }

    void start();
    void stop();

    // True once every listener has returned, false when `timeout` passed first.
    bool waitStopped(std::chrono::milliseconds timeout);

    // A listener returned although stop() was not called.
    bool listenerEnded() const;

private:
    struct Listener;

    const Agent& m_agent;
    RequestLog m_requestLog;
    std::vector<std::unique_ptr<Listener>> m_listeners;
    std::vector<std::string> m_addresses;
    mutable std::mutex m_mutex;
    std::condition_variable m_stopped;
    std::size_t m_running = 0;
};

} // namespace kestrel::agent
