#include "HttpService.h"

#include <atomic>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <list>
#include <mutex>
#include <optional>

namespace kestrel::agent {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char jsonContentType[] = "application/json; charset=utf-8";
// Threads that answer requests which may block (the print system). Requests
// beyond them wait in the pool's queue, not in threads of their own.
constexpr int slowRequestThreads = 2;
// After a refusal whose body was not read, the rest of what the client sends
// is read and dropped for a while, so that closing with unread data does not
// reset the connection before the client has read the refusal.
constexpr auto lingerTime = std::chrono::milliseconds(1000);
constexpr std::size_t lingerBytes = 1024 * 1024;
constexpr auto acceptRetry = std::chrono::milliseconds(100);

std::mutex logMutex;

std::string_view statusText(int status) {
    switch (status) {
    case 400:
        return "Запрос повреждён.";
    case 413:
        return "Запрос слишком большой.";
    case 431:
        return "Заголовок запроса слишком большой.";
    default:
        return "Ошибка обработки запроса.";
    }
}

// The reply status for a request the parser turned away; nothing when the
// connection just ended or ran out of time and deserves no reply.
std::optional<int> refusalStatus(const beast::error_code& error) {
    if (error == http::error::header_limit || error == http::error::buffer_overflow)
        return 431;
    if (error == http::error::body_limit)
        return 413;
    if (error.category() == http::make_error_code(http::error::bad_target).category() &&
        error != http::error::end_of_stream && error != http::error::partial_message)
        return 400;
    return std::nullopt;
}

std::string text(beast::string_view view) {
    return {view.data(), view.size()};
}

// The path without its query, as the agent compares it.
std::string pathOf(beast::string_view target) {
    const std::string whole = text(target);
    return whole.substr(0, whole.find('?'));
}

bool ipv6LoopbackAvailable() {
    asio::io_context probe;
    tcp::acceptor acceptor(probe);
    beast::error_code error;
    acceptor.open(tcp::v6(), error);
    if (!error)
        acceptor.bind({asio::ip::address_v6::loopback(), 0}, error);
    return !error;
}

} // namespace

void logLine(std::FILE* stream, std::string_view event) {
    const std::string line = utcTimestamp() + " " + agentName + " " + std::string(event) + "\n";
    std::lock_guard lock(logMutex);
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

class Connection;

struct HttpService::State : std::enable_shared_from_this<State> {
    State(asio::io_context& loop, const Agent& agent, ServiceLimits limits)
        : loop(loop), agent(agent), limits(limits), summaryTimer(loop) {}

    void accept(tcp::acceptor& acceptor);
    void admit(tcp::socket socket);
    bool makeRoom();
    void forget(const Connection* connection);
    void log(std::string_view method, std::string_view path, int status);
    void refused(int status);
    void armSummary();
    void writeSummary();
    void shutdown();

    asio::io_context& loop;
    const Agent& agent;
    const ServiceLimits limits;
    asio::thread_pool* slowRequests = nullptr;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
    std::vector<std::string> addresses;
    std::list<std::shared_ptr<Connection>> connections;
    RequestLog requestLog;
    asio::steady_timer summaryTimer;
    bool summaryArmed = false;
    bool stopped = false;
};

// One accepted connection: waits for a request, reads its header, screens
// it, reads its body, answers, and waits again, each step under its own
// limit of time and size.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, std::shared_ptr<HttpService::State> service)
        : m_stream(std::move(socket)), m_buffer(service->limits.headerBytes + 1024),
          m_service(std::move(service)) {}

    void start() { waitForRequest(); }

    // Which connection makes room for a new one, lowest first: a refused
    // client being drained, then one waiting for (or sending) a request, then
    // one waiting for the print system; nothing while a reply is written.
    std::optional<int> evictionRank() const {
        switch (m_phase) {
        case Phase::Lingering:
            return 0;
        case Phase::Waiting:
        case Phase::Header:
            return 1;
        case Phase::Answering:
            return 2;
        default:
            return std::nullopt;
        }
    }
    Clock::time_point idleSince() const { return m_idleSince; }

    void close() {
        if (m_phase == Phase::Closed)
            return;
        const auto self = shared_from_this();
        m_phase = Phase::Closed;
        m_closed = true;
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        m_stream.close();
        m_service->forget(this);
    }

private:
    enum class Phase { Waiting, Header, Body, Answering, Writing, Lingering, Closed };

    void waitForRequest() {
        m_phase = Phase::Waiting;
        m_idleSince = Clock::now();
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(m_service->limits.headerBytes));
        m_parser->body_limit(m_service->limits.bodyBytes);
        if (m_buffer.size() > 0) // the client sent its next request already
            return readHeader();
        m_stream.expires_after(m_service->limits.idleTime);
        m_stream.async_read_some(
            m_buffer.prepare(1024),
            [self = shared_from_this()](beast::error_code error, std::size_t n) {
                if (self->m_phase != Phase::Waiting)
                    return;
                if (error)
                    return self->close();
                self->m_buffer.commit(n);
                self->readHeader();
            });
    }

    void readHeader() {
        m_phase = Phase::Header;
        m_stream.expires_after(m_service->limits.headerTime);
        http::async_read_header(m_stream, m_buffer, *m_parser,
                                [self = shared_from_this()](beast::error_code error, std::size_t) {
                                    if (self->m_phase == Phase::Header)
                                        self->onHeader(error);
                                });
    }

    void onHeader(const beast::error_code& error) {
        if (error)
            return refuseUnread(error);
        m_request = {
            text(m_parser->get().method_string()), pathOf(m_parser->get().target()), {}, {}};
        for (const auto& field : m_parser->get())
            m_request.headers.emplace(text(field.name_string()), text(field.value()));
        if (auto refusal = m_service->agent.screen(m_request))
            return reply(*std::move(refusal), !m_parser->is_done());
        if (m_parser->is_done())
            return answer();
        m_phase = Phase::Body;
        m_stream.expires_after(m_service->limits.bodyTime);
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             if (self->m_phase != Phase::Body)
                                 return;
                             if (error)
                                 return self->refuseUnread(error);
                             self->answer();
                         });
    }

    // A request the parser turned away (too large, malformed) gets a reply;
    // one that ran out of time or ended gets none.
    void refuseUnread(const beast::error_code& error) {
        const auto status = refusalStatus(error);
        if (!status)
            return close();
        m_service->refused(*status);
        m_request = {};
        write(errorResponse(*status, statusText(*status)), true);
    }

    void answer() {
        m_request.body = std::move(m_parser->get().body());
        if (auto response = m_service->agent.answerAtOnce(m_request))
            return reply(*response, false);
        m_phase = Phase::Answering;
        asio::post(*m_service->slowRequests, [self = shared_from_this()]() mutable {
            if (self->m_closed) // made room for another while it waited
                return;
            Response response = self->m_service->agent.handle(self->m_request);
            auto& loop = self->m_service->loop;
            asio::post(loop, [self = std::move(self), response = std::move(response)] {
                if (self->m_phase == Phase::Answering)
                    self->reply(response, false);
            });
        });
    }

    void reply(const Response& response, bool bodyUnread) {
        m_service->log(m_request.method, m_request.path, response.status);
        write(response, bodyUnread);
    }

    void write(const Response& response, bool bodyUnread) {
        m_phase = Phase::Writing;
        const bool keepAlive = !bodyUnread && m_parser->get().keep_alive();
        m_response = {};
        m_response.version(m_parser->get().version() == 10 ? 10 : 11);
        m_response.result(static_cast<unsigned>(response.status));
        m_response.set(http::field::content_type, jsonContentType);
        m_response.set(http::field::cache_control, "no-store");
        for (const auto& [name, value] : response.headers)
            m_response.set(name, value);
        m_response.body() = response.body;
        m_response.keep_alive(keepAlive);
        m_response.prepare_payload();
        if (m_request.method == "HEAD")
            m_response.body().clear(); // the length stays that of the body not sent
        m_stream.expires_after(m_service->limits.writeTime);
        http::async_write(m_stream, m_response,
                          [self = shared_from_this(), keepAlive,
                           bodyUnread](beast::error_code error, std::size_t) {
                              if (self->m_phase != Phase::Writing)
                                  return;
                              if (error)
                                  return self->close();
                              if (keepAlive)
                                  return self->waitForRequest();
                              if (bodyUnread)
                                  return self->linger();
                              self->close();
                          });
    }

    void linger() {
        m_phase = Phase::Lingering;
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        m_stream.expires_after(lingerTime);
        m_lingered = 0;
        drain();
    }

    void drain() {
        m_stream.async_read_some(
            asio::buffer(m_scratch),
            [self = shared_from_this()](beast::error_code error, std::size_t n) {
                if (self->m_phase != Phase::Lingering)
                    return;
                self->m_lingered += n;
                if (error || self->m_lingered > lingerBytes)
                    return self->close();
                self->drain();
            });
    }

    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    http::response<http::string_body> m_response;
    Request m_request;
    std::shared_ptr<HttpService::State> m_service;
    Phase m_phase = Phase::Waiting;
    Clock::time_point m_idleSince = Clock::now();
    std::size_t m_lingered = 0;
    std::atomic<bool> m_closed = false; // read by the worker threads
    std::array<char, 4096> m_scratch{};
};

void HttpService::State::accept(tcp::acceptor& acceptor) {
    acceptor.async_accept(
        [self = shared_from_this(), &acceptor](beast::error_code error, tcp::socket socket) {
            if (self->stopped || error == asio::error::operation_aborted)
                return;
            if (!error) {
                self->admit(std::move(socket));
                return self->accept(acceptor);
            }
            // Out of descriptors, for example: try again shortly instead of
            // spinning on the same error.
            auto timer = std::make_shared<asio::steady_timer>(self->loop, acceptRetry);
            timer->async_wait([self, timer, &acceptor](beast::error_code) {
                if (!self->stopped)
                    self->accept(acceptor);
            });
        });
}

void HttpService::State::admit(tcp::socket socket) {
    if (connections.size() >= limits.connections && !makeRoom())
        return; // every connection is being answered; this one waits for none
    beast::error_code ignored;
    // A reply leaves as soon as it is written, not after the client's delayed
    // acknowledgement of an earlier segment.
    socket.set_option(tcp::no_delay(true), ignored);
    auto connection = std::make_shared<Connection>(std::move(socket), shared_from_this());
    connections.push_back(connection);
    connection->start();
}

bool HttpService::State::makeRoom() {
    std::shared_ptr<Connection> chosen;
    const auto before = [](const Connection& a, const Connection& b) {
        return std::pair(*a.evictionRank(), a.idleSince()) <
               std::pair(*b.evictionRank(), b.idleSince());
    };
    for (const auto& connection : connections) {
        if (connection->evictionRank() && (!chosen || before(*connection, *chosen)))
            chosen = connection;
    }
    if (!chosen)
        return false;
    chosen->close();
    return true;
}

void HttpService::State::forget(const Connection* connection) {
    connections.remove_if([connection](const auto& c) { return c.get() == connection; });
}

void HttpService::State::log(std::string_view method, std::string_view path, int status) {
    if (const auto line = requestLog.line(method, path, status))
        logLine(stdout, *line);
    if (requestLog.hasRefusals())
        armSummary();
}

void HttpService::State::refused(int status) {
    requestLog.countRefusal(status);
    armSummary();
}

void HttpService::State::armSummary() {
    if (summaryArmed || stopped)
        return;
    summaryArmed = true;
    summaryTimer.expires_after(limits.refusalSummaryPeriod);
    summaryTimer.async_wait([self = shared_from_this()](beast::error_code error) {
        self->summaryArmed = false;
        if (!error)
            self->writeSummary();
    });
}

void HttpService::State::writeSummary() {
    if (const auto summary = requestLog.refusalSummary())
        logLine(stdout, *summary);
}

void HttpService::State::shutdown() {
    if (stopped)
        return;
    stopped = true;
    beast::error_code ignored;
    for (auto& acceptor : acceptors)
        acceptor->close(ignored);
    while (!connections.empty())
        connections.front()->close();
    summaryTimer.cancel();
    writeSummary();
}

HttpService::HttpService(asio::io_context& loop, const Agent& agent, ServiceLimits limits)
    : m_state(std::make_shared<State>(loop, agent, limits)),
      m_pool(std::make_unique<asio::thread_pool>(slowRequestThreads)) {
    m_state->slowRequests = m_pool.get();
}

HttpService::~HttpService() {
    stop();
    // Waits for answers still being computed; they only post to the loop.
    m_pool->join();
}

bool HttpService::bind(int port, std::string& error) {
    const auto bindOne = [&](const asio::ip::address& address, const std::string& shown) {
        auto acceptor = std::make_unique<tcp::acceptor>(m_state->loop);
        const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
        beast::error_code failure;
        acceptor->open(endpoint.protocol(), failure);
        // SO_REUSEADDR only: SO_REUSEPORT would let a second agent bind the
        // same port and share the connections with the first one.
        if (!failure)
            acceptor->set_option(tcp::acceptor::reuse_address(true), failure);
        if (!failure && address.is_v6())
            acceptor->set_option(asio::ip::v6_only(true), failure);
        if (!failure)
            acceptor->bind(endpoint, failure);
        if (!failure)
            acceptor->listen(asio::socket_base::max_listen_connections, failure);
        if (failure) {
            error = "cannot listen on " + shown + ": " + failure.message() +
                    " (another agent may be running)";
            return false;
        }
        m_state->acceptors.push_back(std::move(acceptor));
        m_state->addresses.push_back(shown);
        return true;
    };

    const std::string portText = std::to_string(port);
    const bool bound = [&] {
        if (!bindOne(asio::ip::address_v4::loopback(), "127.0.0.1:" + portText))
            return false;
        // Without an IPv6 loopback, "localhost" resolves to 127.0.0.1 only and
        // one listener is enough; with one, a port already taken on ::1 means
        // another server would answer part of the application's requests.
        if (ipv6LoopbackAvailable())
            return bindOne(asio::ip::address_v6::loopback(), "[::1]:" + portText);
        logLine(stderr, "ipv6_loopback_unavailable serving=127.0.0.1:" + portText);
        return true;
    }();
    if (!bound) {
        m_state->acceptors.clear();
        m_state->addresses.clear();
    }
    return bound;
}

const std::vector<std::string>& HttpService::addresses() const {
    return m_state->addresses;
}

void HttpService::start() {
    for (auto& acceptor : m_state->acceptors)
        m_state->accept(*acceptor);
}

void HttpService::stop() {
    asio::dispatch(m_state->loop, [state = m_state] { state->shutdown(); });
}

} // namespace kestrel::agent
