#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel::agent {

class DataStore;

inline constexpr int agentPort = 43127;
inline constexpr char agentName[] = "orvanta-print-agent";
// The version reported when the bundle's Info.plist has no usable one.
inline constexpr char fallbackVersion[] = "0.5.5";

struct CaseInsensitiveLess {
    bool operator()(std::string_view a, std::string_view b) const;
};

using Headers = std::multimap<std::string, std::string, CaseInsensitiveLess>;

struct Request {
    std::string method;
    std::string path;
    Headers headers;
    std::string body;
};

struct Response {
    int status = 200;
    std::string body; // always a JSON object
    std::vector<std::pair<std::string, std::string>> headers;
};

struct Printer {
    std::string name;
    bool isDefault = false;
};

// The system's printers, or nothing when the print system cannot be asked.
using PrinterList = std::optional<std::vector<Printer>>;
using PrinterSource = std::function<PrinterList()>;

using Clock = std::chrono::steady_clock;

// How long the print system's answer is given again instead of asking anew.
// The application asks every 3 seconds; each question would wake a worker
// and the print system, so a change of printers shows within this time, or
// at once when the user asks for a fresh list.
inline constexpr Clock::duration printerListLifetime = std::chrono::seconds(30);

// Whether a printer request gets the print system's answer of `age` ago
// (nothing: no answer yet) instead of asking it again: when that answer is
// younger than `lifetime` and the request does not ask for a fresh one with
// "Cache-Control: no-cache" or "Pragma: no-cache".
bool answerFromCache(const Headers& headers, std::optional<Clock::duration> age,
                     Clock::duration lifetime = printerListLifetime);

struct Identity {
    std::string version;
    std::string platform;
    std::string architecture;
};

// A Host header value that names this machine's loopback endpoint: localhost,
// 127.0.0.1 or [::1], any letter case, optionally followed by ":<port>".
// Anything else may be a name an attacker's DNS points at 127.0.0.1.
bool isLoopbackHost(std::string_view host, int port);

// Chooses the request lines that reach the log, which the application shares
// with the agent and never rotates. The application polls health and printers
// every 3 seconds for as long as it runs, so a poll is written only when its
// status differs from the last one written for that endpoint, together with
// the number of identical polls left out since. Refusals (403, 404, 405 and
// what the transport turns away) can come from any local process or web page
// at any rate, so they are only counted and written as one summary line per
// period. Every other request is written each time. Safe to call from
// several threads.
class RequestLog {
public:
    // The line for one answered request ("request method=GET path=… status=…"),
    // or nothing when it repeats the last written poll or is a refusal.
    std::optional<std::string> line(std::string_view method, std::string_view path, int status);

    // Counts a request the transport refused before the agent saw it
    // (malformed, over a limit).
    void countRefusal(int status);

    // "refused_requests count=N by_status=403:…,431:…" for the refusals
    // counted since the last summary, or nothing when there were none.
    std::optional<std::string> refusalSummary();
    bool hasRefusals() const;

private:
    struct Last {
        int status = 0;
        unsigned long long skipped = 0;
    };
    mutable std::mutex m_mutex;
    std::map<std::string, Last, std::less<>> m_polls;
    std::map<int, unsigned long long> m_refusals;
};

// The whole request handling of the agent, free of any transport, so that
// tests and fuzzers can call it directly. Safe to call from several threads.
class Agent {
public:
    using Now = std::function<Clock::time_point()>;

    Agent(Identity identity, DataStore& store, PrinterSource printers,
          std::optional<std::string> appSecret, int port = agentPort, Now now = Clock::now);

    Response handle(const Request& request) const;

    // The reply when it needs no wait for the print system (every request
    // but a printer request that finds no answer young enough), or nothing:
    // then the transport calls handle() off its event loop.
    std::optional<Response> answerAtOnce(const Request& request) const;

    // The refusal that the method, path and headers alone decide (foreign
    // Host, unknown path, wrong method, missing secret, wrong content type),
    // or nothing when the request is to be answered. The transport asks
    // before it reads a body, so nobody without the secret makes the agent
    // read one.
    std::optional<Response> screen(const Request& request) const;

private:
    Response health() const;
    Response printers(const Request& request) const;
    Response answerApp(const Request& request, std::string_view action) const;

    Identity m_identity;
    DataStore& m_store;
    PrinterSource m_printers;
    std::optional<std::string> m_appSecret;
    int m_port;
    Now m_now;
    mutable std::mutex m_printerMutex;
    mutable std::optional<Clock::time_point> m_printersAskedAt;
    mutable PrinterList m_lastPrinters;
};

// A JSON error reply: {"ok": false, "error": text}.
Response errorResponse(int status, std::string_view text);

// The current time as "2026-01-02T03:04:05.678Z".
std::string utcTimestamp();

} // namespace kestrel::agent
