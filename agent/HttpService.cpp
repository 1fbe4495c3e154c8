#include "HttpService.h"

#include <cerrno>
#include <cstring>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::agent {

namespace {

// Enough workers that a few held-open connections of the application (it
// keeps idle connections alive) never queue a status request behind them.
constexpr std::size_t workerThreads = 16;
constexpr std::size_t maximumBodyBytes = 64 * 1024;
constexpr char jsonContentType[] = "application/json; charset=utf-8";
// std::regex "." stops at a line feed, which a decoded path may contain.
constexpr char anyPath[] = R"([\s\S]*)";

std::mutex logMutex;

// The library's default also sets SO_REUSEPORT, which would let a second
// agent bind the same port and share the connections with the first one.
void reuseAddressOnly(socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

bool ipv6LoopbackAvailable() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = 0;
    const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

std::string_view statusText(int status) {
    switch (status) {
    case 400:
        return "Запрос повреждён.";
    case 404:
        return "Неизвестный запрос.";
    case 413:
        return "Запрос слишком большой.";
    case 414:
        return "Адрес запроса слишком длинный.";
    default:
        return "Ошибка обработки запроса.";
    }
}

} // namespace

void logLine(std::FILE* stream, std::string_view event) {
    const std::string line = utcTimestamp() + " " + agentName + " " + std::string(event) + "\n";
    std::lock_guard lock(logMutex);
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

struct HttpService::Listener {
    httplib::Server server;
    std::thread thread;
};

HttpService::HttpService(const Agent& agent) : m_agent(agent) {}

HttpService::~HttpService() {
    stop();
    for (auto& listener : m_listeners) {
        if (listener->thread.joinable())
            listener->thread.join();
    }
}

bool HttpService::bind(int port, std::string& error) {
    const auto makeListener = [this](int family) {
        auto listener = std::make_unique<Listener>();
        auto& server = listener->server;
        server.new_task_queue = [] { return new httplib::ThreadPool(workerThreads); };
        server.set_address_family(family);
        server.set_socket_options(reuseAddressOnly);
        // The library writes the status line and headers, then the body, in
        // two writes; with Nagle's algorithm the body waits for the client's
        // delayed acknowledgement of the headers, about 40 ms per reply.
        server.set_tcp_nodelay(true);
        server.set_payload_max_length(maximumBodyBytes);
        server.set_default_headers({{"Cache-Control", "no-store"}});

        const auto dispatch = [this](const httplib::Request& req, httplib::Response& res) {
            Request request{req.method, req.path, {}, req.body};
            for (const auto& [name, value] : req.headers)
                request.headers.emplace(name, value);
            const Response response = m_agent.handle(request);
            res.status = response.status;
            for (const auto& [name, value] : response.headers)
                res.set_header(name.c_str(), value);
            res.set_content(response.body, jsonContentType);
        };
        server.Get(anyPath, dispatch);
        server.Post(anyPath, dispatch);
        server.Put(anyPath, dispatch);
        server.Patch(anyPath, dispatch);
        server.Delete(anyPath, dispatch);
        server.Options(anyPath, dispatch);

        // Replies the library makes by itself (malformed request, body too
        // large) get the same JSON error shape as the agent's own.
        server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (res.body.empty())
                res.set_content(errorResponse(res.status, statusText(res.status)).body,
                                jsonContentType);
        });
        // The exception's text is not written: it might quote the request.
        server.set_exception_handler(
            [](const httplib::Request& req, httplib::Response& res, std::exception_ptr) {
                logLine(stderr, "request_exception path=" + std::string(loggablePath(req.path)));
                res.status = 500;
                res.set_content(errorResponse(500, "Внутренняя ошибка службы печати.").body,
                                jsonContentType);
            });
        server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
            if (const auto line = m_requestLog.line(req.method, req.path, res.status))
                logLine(stdout, *line);
        });
        return listener;
    };

    std::vector<std::unique_ptr<Listener>> listeners;
    std::vector<std::string> addresses;
    const auto bindOne = [&](int family, const char* host, const std::string& shown) {
        auto listener = makeListener(family);
        if (!listener->server.bind_to_port(host, port)) {
            const int code = errno;
            error = "cannot listen on " + shown + ": " + std::strerror(code) +
                    " (another agent may be running)";
            return false;
        }
        addresses.push_back(shown);
        listeners.push_back(std::move(listener));
        return true;
    };

    const std::string portText = std::to_string(port);
    if (!bindOne(AF_INET, "127.0.0.1", "127.0.0.1:" + portText))
        return false;
    // Without an IPv6 loopback, "localhost" resolves to 127.0.0.1 only and
    // one listener is enough; with one, a port already taken on ::1 means
    // another server would answer part of the application's requests.
    if (ipv6LoopbackAvailable()) {
        if (!bindOne(AF_INET6, "::1", "[::1]:" + portText))
            return false;
    } else {
        logLine(stderr, "ipv6_loopback_unavailable serving=127.0.0.1:" + portText);
    }
    m_listeners = std::move(listeners);
    m_addresses = std::move(addresses);
    return true;
}

void HttpService::start() {
    std::lock_guard lock(m_mutex);
    for (auto& listener : m_listeners) {
        ++m_running;
        listener->thread = std::thread([this, raw = listener.get()] {
            raw->server.listen_after_bind();
            std::lock_guard lock(m_mutex);
            --m_running;
            m_stopped.notify_all();
        });
    }
}

void HttpService::stop() {
    std::lock_guard lock(m_mutex);
    for (auto& listener : m_listeners)
        listener->server.stop();
}

bool HttpService::waitStopped(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_stopped.wait_for(lock, timeout, [this] { return m_running == 0; });
}

bool HttpService::listenerEnded() const {
    std::lock_guard lock(m_mutex);
    return m_running < m_listeners.size();
}

} // namespace kestrel::agent
