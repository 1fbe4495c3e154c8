// A raw HTTP request, parsed by the same HTTP library the agent serves with
// and handled by the agent's request handling. Every reply is a JSON object;
// application requests succeed only with the secret; a successful reply to
// the application decodes with the application's own strict decoders.

#include "AgentFixture.h"
#include "FuzzCheck.h"
#include "agentclient/AgentHealth.h"
#include "agentclient/PrintersResponse.h"
#include "pairing/PairingPreview.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <httplib.h>
#include <memory>
#include <nlohmann/json.hpp>

using namespace kestrel::agent;

namespace {

class MemoryStream final : public httplib::Stream {
public:
    MemoryStream(const char* data, std::size_t size) : m_data(data), m_size(size) {}

    bool is_readable() const override { return true; }
    bool is_writable() const override { return true; }
    ssize_t read(char* ptr, std::size_t size) override {
        const std::size_t count = std::min(size, m_size - m_position);
        std::memcpy(ptr, m_data + m_position, count);
        m_position += count;
        return static_cast<ssize_t>(count);
    }
    ssize_t write(const char* ptr, std::size_t size) override {
        written.append(ptr, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = "127.0.0.1";
        port = 50000;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip = "127.0.0.1";
        port = agentPort;
    }
    socket_t socket() const override { return 0; }

    std::string written;

private:
    const char* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

struct Exchange {
    Request request;
    Response response;
};

// The agent's HTTP set-up: any path and method goes to Agent::handle, bodies
// up to 64 KiB.
class AgentServer final : public httplib::Server {
public:
    explicit AgentServer(const Agent& agent) {
        set_payload_max_length(64 * 1024);
        const auto dispatch = [this, &agent](const httplib::Request& req, httplib::Response& res) {
            Exchange exchange{{req.method, req.path, {}, req.body}, {}};
            for (const auto& [name, value] : req.headers)
                exchange.request.headers.emplace(name, value);
            exchange.response = agent.handle(exchange.request);
            res.status = exchange.response.status;
            for (const auto& [name, value] : exchange.response.headers)
                res.set_header(name.c_str(), value);
            res.set_content(exchange.response.body, "application/json; charset=utf-8");
            exchanges.push_back(std::move(exchange));
        };
        const char* anyPath = R"([\s\S]*)";
        Get(anyPath, dispatch);
        Post(anyPath, dispatch);
        Put(anyPath, dispatch);
        Patch(anyPath, dispatch);
        Delete(anyPath, dispatch);
        Options(anyPath, dispatch);
    }

    void serve(MemoryStream& stream) {
        bool closed = false;
        // Keep-alive: several requests may follow one another in the input.
        for (int i = 0; i < 8 && !closed; ++i) {
            if (!process_request(stream, false, closed, nullptr))
                break;
        }
    }

    std::vector<Exchange> exchanges;
};

struct Fixture {
    Fixture()
        : store(kestrel::fuzz::scratchFolder()),
          agent(
              {"1.0.0", "linux", "x86_64"}, store,
              [] {
                  return std::optional<std::vector<Printer>>(
                      {{"Office", true}, {"Лаборатория \"2\"", false}});
              },
              kestrel::fuzz::appSecret) {}
    DataStore store;
    Agent agent;
    RequestLog log;
};

bool presentsSecret(const Request& request) {
    const auto [first, last] = request.headers.equal_range("X-Kestrel-App");
    return first != last && std::next(first) == last && first->second == kestrel::fuzz::appSecret;
}

void checkExchange(Fixture& fixture, const Exchange& exchange) {
    const Request& request = exchange.request;
    const Response& response = exchange.response;
    const auto body = nlohmann::json::parse(response.body, nullptr, false);
    FUZZ_CHECK(body.is_object());
    FUZZ_CHECK(response.status >= 200 && response.status < 600);

    const bool appAction = request.path.starts_with("/v1/app/");
    if (appAction && response.status == 200)
        FUZZ_CHECK(presentsSecret(request) && request.method == "POST");
    if (response.status == 200)
        FUZZ_CHECK(isLoopbackHost(request.headers.find("Host")->second, agentPort));

    const QByteArray reply = QByteArray::fromStdString(response.body);
    if (response.status == 200 && request.path == "/v1/health")
        FUZZ_CHECK(kestrel::AgentHealth::fromBody(reply).has_value());
    if (response.status == 200 && request.path == "/v1/printers")
        FUZZ_CHECK(kestrel::PrintersResponse::fromBody(reply).has_value());
    if (response.status == 200 && request.path == "/v1/app/pairing-preview")
        FUZZ_CHECK(kestrel::decodePairingPreview(reply).has_value());

    // Nothing of the request but a known path and a plain method is logged.
    if (const auto line = fixture.log.line(request.method, request.path, response.status)) {
        FUZZ_CHECK(line->find('\n') == std::string::npos);
        FUZZ_CHECK(line->find('\r') == std::string::npos);
        FUZZ_CHECK(request.body.size() < 8 || line->find(request.body) == std::string::npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fixture;
    // Route patterns are compiled once; a server per input would spend most
    // of the time in regular expression set-up.
    static AgentServer server(fixture.agent);
    server.exchanges.clear();
    MemoryStream stream(reinterpret_cast<const char*>(data), size);
    server.serve(stream);
    for (const Exchange& exchange : server.exchanges)
        checkExchange(fixture, exchange);
    return 0;
}
