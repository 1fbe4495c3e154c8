#include "FakeAgent.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <httplib.h>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <thread>

namespace kestrel::test {

struct FakeAgent::State {
    httplib::Server server;
    std::thread thread;
    int port = -1;
    std::atomic<bool> listenEnded = false;

    mutable std::mutex mutex;
    std::condition_variable stopped;
    bool stopping = false;
    std::map<std::pair<QByteArray, QString>, FakeReply> replies;
    QList<RecordedRequest> requests;

    // False when the agent is being destroyed before the time is up.
    bool wait(std::chrono::milliseconds duration) {
        std::unique_lock lock(mutex);
        return !stopped.wait_for(lock, duration, [this] { return stopping; });
    }

    void waitUntilStopped() {
        std::unique_lock lock(mutex);
        stopped.wait(lock, [this] { return stopping; });
    }

    void handle(const httplib::Request& request, httplib::Response& response);
};

bool RecordedRequest::hasHeader(const QByteArray& name) const {
    return !header(name).isNull();
}

QByteArray RecordedRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value.isNull() ? QByteArray("") : value;
    }
    return {};
}

void FakeAgent::State::handle(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest recorded;
    recorded.method = QByteArray::fromStdString(request.method);
    recorded.path = QString::fromStdString(request.path);
    for (const auto& [key, value] : request.headers)
        recorded.headers.append({QByteArray::fromStdString(key), QByteArray::fromStdString(value)});
    recorded.body = QByteArray::fromStdString(request.body);

    std::optional<FakeReply> reply;
    {
        std::lock_guard lock(mutex);
        requests.append(recorded);
        const auto it = replies.find({recorded.method, recorded.path});
        if (it != replies.end())
            reply = it->second;
    }
    if (!reply) {
        response.status = 404;
        response.set_content(R"({"error":"not found"})", "application/json");
        return;
    }
    if (reply->hang) {
        waitUntilStopped();
        return;
    }
    if (!wait(reply->delay))
        return;

    response.status = reply->status;
    for (const auto& [key, value] : reply->headers)
        response.set_header(key.toStdString(), value.toStdString());
    const std::string contentType = reply->contentType.toStdString();
    if (reply->drip.count() <= 0) {
        response.set_content(reply->body.toStdString(), contentType);
        return;
    }
    const std::string body = reply->body.toStdString();
    const std::chrono::milliseconds drip = reply->drip;
    response.set_content_provider(
        body.size(), contentType,
        [this, body, drip](size_t offset, size_t, httplib::DataSink& sink) {
            if (!wait(drip))
                return false;
            return sink.write(body.data() + offset, 1);
        });
}

FakeAgent::FakeAgent(quint16 port) : d(std::make_unique<State>()) {
    // A client that gives up leaves the server writing to a closed socket;
    // the library sends without MSG_NOSIGNAL, so that must not end the test.
    std::signal(SIGPIPE, SIG_IGN);

    // Hung and dripping replies each hold a worker until the agent goes away.
    d->server.new_task_queue = [] { return new httplib::ThreadPool(64); };
    // One request per connection: an idle keep-alive connection would hold
    // the destructor for the whole keep-alive timeout.
    d->server.set_keep_alive_max_count(1);
    // Connections of an earlier test on the same port linger in TIME_WAIT;
    // without SO_REUSEADDR the port could not be bound again for a minute.
    d->server.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    d->server.Get(".*",
                  [this](const auto& request, auto& response) { d->handle(request, response); });
    d->server.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
        d->handle(request, response);
    });

    d->port = port == 0 ? d->server.bind_to_any_port("127.0.0.1")
                        : (d->server.bind_to_port("127.0.0.1", port) ? port : -1);
    if (d->port <= 0)
        return;
    d->thread = std::thread([state = d.get()] {
        state->server.listen_after_bind();
        state->listenEnded = true;
    });
    // stop() before the accept loop runs would be lost and the destructor
    // would wait for ever; the loop starts within microseconds.
    while (!d->server.is_running() && !d->listenEnded)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeAgent::~FakeAgent() {
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
    }
    d->stopped.notify_all();
    d->server.stop();
    if (d->thread.joinable())
        d->thread.join();
}

bool FakeAgent::isListening() const {
    return d->port > 0;
}

quint16 FakeAgent::port() const {
    return d->port > 0 ? quint16(d->port) : 0;
}

QUrl FakeAgent::baseUrl() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()));
}

void FakeAgent::setReply(const QString& path, FakeReply reply, const QByteArray& method) {
    std::lock_guard lock(d->mutex);
    d->replies.insert_or_assign({method, path}, std::move(reply));
}

QList<RecordedRequest> FakeAgent::requests() const {
    std::lock_guard lock(d->mutex);
    return d->requests;
}

int FakeAgent::requestCount(const QString& path) const {
    std::lock_guard lock(d->mutex);
    return int(std::count_if(d->requests.cbegin(), d->requests.cend(),
                             [&](const RecordedRequest& request) { return request.path == path; }));
}

void FakeAgent::clearRequests() {
    std::lock_guard lock(d->mutex);
    d->requests.clear();
}

QByteArray healthBody(const QString& version, const QJsonObject& overrides,
                      const QStringList& removed) {
    QJsonObject health{
        {"ok", true},
        {"name", "orvanta-print-agent"},
        {"version", version},
        {"platform", "linux"},
        {"architecture", "x86_64"},
        {"deviceId", "device-1"},
        {"formats", QJsonArray{"pdf", "zpl"}},
        {"signing", QJsonObject{{"configured", true},
                                {"enabled", true},
                                {"code", QJsonValue::Null},
                                {"message", "готова"},
                                {"organizationName", "ООО Ромашка"}}},
    };
    for (auto it = overrides.begin(); it != overrides.end(); ++it)
        health.insert(it.key(), *it);
    for (const QString& name : removed)
        health.remove(name);
    return QJsonDocument(health).toJson(QJsonDocument::Compact);
}

} // namespace kestrel::test
