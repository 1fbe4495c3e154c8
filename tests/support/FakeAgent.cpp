#include "FakeAgent.h"

#include <QJsonDocument>
#include <QMap>
// Also brings OpenSSL, <csignal>, <sys/socket.h> and the standard threading headers.
#include <httplib.h>

namespace kestrel::test {

struct FakeAgent::State {
    // An endless body still ends somewhere, in case a client never stops reading.
    static constexpr qint64 chunkBytes = 64 * 1024, endlessBound = qint64(1) << 30;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    mutable std::mutex mutex;
    std::condition_variable woken;
    bool stopping = false, released = false, tls = false;
    std::map<std::pair<QByteArray, QString>, FakeReply> replies;
    QList<RecordedRequest> requests;
    QMap<QString, qint64> bytesSent;
    std::atomic<int> active = 0;

    // False when the agent stops before the time is up (or, `untilReleased`, the release).
    bool wait(std::chrono::milliseconds duration, bool untilReleased = false) {
        std::unique_lock lock(mutex);
        woken.wait_for(lock, duration, [&] { return stopping || (untilReleased && released); });
        return !stopping;
    }

    // Serves HTTPS with a key and a self-signed certificate made for `hostName`; returns the
    // certificate, DER encoded. The server keeps its own references to both.
    QByteArray serveTls(const QString& hostName) {
        const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"),
                                                                      EVP_PKEY_free);
        const std::unique_ptr<X509, decltype(&X509_free)> x509(X509_new(), X509_free);
        X509_gmtime_adj(X509_getm_notBefore(x509.get()), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x509.get()), 24 * 3600);
        X509_set_pubkey(x509.get(), key.get());
        // Without an alternative name, the peer name is matched against the common name.
        X509_NAME* name = X509_get_subject_name(x509.get());
        const QByteArray host = hostName.toUtf8();
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(host.data()), -1, -1, 0);
        X509_set_issuer_name(x509.get(), name);
        X509_sign(x509.get(), key.get(), EVP_sha256());
        server = std::make_unique<httplib::SSLServer>(x509.get(), key.get());
        tls = true;
        unsigned char* der = nullptr;
        const QByteArray certificate(reinterpret_cast<char*>(der), i2d_X509(x509.get(), &der));
        OPENSSL_free(der);
        return certificate;
    }

    void handle(const httplib::Request& request, httplib::Response& response) {
        RecordedRequest recorded{QByteArray::fromStdString(request.method),
                                 QString::fromStdString(request.path)};
        recorded.body = QByteArray::fromStdString(request.body);
        for (const auto& [key, value] : request.headers)
            recorded.headers.append(
                {QByteArray::fromStdString(key), QByteArray::fromStdString(value)});
        FakeReply reply{.status = 404, .body = R"({"error":"not found"})"};
        {
            std::lock_guard lock(mutex);
            requests.append(recorded);
            if (const auto it = replies.find({recorded.method, recorded.path}); it != replies.end())
                reply = it->second;
        }
        if (!wait(reply.hang ? std::chrono::hours(24) : reply.delay, reply.hang))
            return;
        response.status = reply.status;
        for (const auto& [key, value] : reply.headers)
            response.set_header(key.toStdString(), value.toStdString());
        const std::string type = "application/json";
        const qint64 size =
            reply.endless ? endlessBound : reply.patternSize.value_or(reply.body.size());
        // Plain replies go out whole, as the library sends them (compressed when the client
        // accepts it); over HTTPS every body is streamed.
        if (size == 0 || !(tls || reply.drip.count() > 0 || reply.patternSize || reply.endless))
            return response.set_content(reply.body.toStdString(), type);
        ++active;
        const auto provide = [=, this](size_t offset, size_t, httplib::DataSink& sink) {
            const qint64 at = qint64(offset), half = reply.holdHalfway ? size / 2 : -1;
            // Only an endless body gets here.
            if (at >= size)
                return sink.done(), true;
            // Without a drip the first wait only checks that the agent still runs.
            if (!wait(reply.drip) || (at == half && !wait(std::chrono::seconds(30), true)))
                return false;
            const qint64 end = at < half ? half : size;
            const qint64 count = reply.drip.count() > 0 ? 1 : std::min(chunkBytes, end - at);
            const QByteArray data = reply.patternSize || reply.endless ? patternBytes(at, count)
                                                                       : reply.body.mid(at, count);
            if (!sink.write(data.constData(), size_t(data.size())))
                return false;
            const std::lock_guard lock(mutex);
            bytesSent[recorded.path] += data.size();
            return true;
        };
        const auto finished = [this](bool) { --active; };
        if (!reply.endless)
            return response.set_content_provider(size_t(size), type, provide, finished);
        response.set_content_provider(
            type, [provide](size_t offset, auto& sink) { return provide(offset, 0, sink); },
            finished);
    }
};

QByteArray patternBytes(qint64 offset, qint64 size) {
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        data[i] = char((quint64(offset + i) * 2654435761u) >> 13);
    return data;
}

QByteArray RecordedRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value.isNull() ? QByteArray("") : value;
    return {};
}

FakeAgent::FakeAgent(quint16 port, const QString& tlsHostName) : d(std::make_unique<State>()) {
    // A client that gives up leaves the server writing to a closed socket;
    // the library sends without MSG_NOSIGNAL, so that must not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    if (tlsHostName.isEmpty())
        d->server = std::make_unique<httplib::Server>();
    else
        m_certificate = d->serveTls(tlsHostName);
    // Hung, dripping and held replies each keep a worker until the agent stops.
    d->server->new_task_queue = [] { return new httplib::ThreadPool(64); };
    // An idle keep-alive connection would hold the destructor for its whole timeout. Over
    // HTTPS connections stay open as a real update host keeps them.
    if (tlsHostName.isEmpty())
        d->server->set_keep_alive_max_count(1);
    // The library's default (SO_REUSEPORT) would let two agents share a port; SO_REUSEADDR
    // only lets a fixed port be bound again while an earlier test's connections linger.
    d->server->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    const auto handler = [this](const auto& in, auto& out) { d->handle(in, out); };
    d->server->Get(".*", handler);
    d->server->Post(".*", handler);
    m_port = port == 0 ? d->server->bind_to_any_port("127.0.0.1")
                       : (d->server->bind_to_port("127.0.0.1", port) ? port : -1);
    if (m_port <= 0)
        return;
    d->thread = std::thread([state = d.get()] { state->server->listen_after_bind(); });
    // stop() before the accept loop runs would be lost and the destructor
    // would wait for ever; the loop starts within microseconds.
    while (!d->server->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeAgent::~FakeAgent() {
    stop();
}

void FakeAgent::stop() {
    std::unique_lock lock(d->mutex);
    d->stopping = true;
    d->woken.notify_all();
    lock.unlock();
    d->server->stop();
    if (d->thread.joinable())
        d->thread.join();
}

void FakeAgent::release() {
    std::lock_guard lock(d->mutex);
    d->released = true;
    d->woken.notify_all();
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
    return int(std::ranges::count(requests(), path, &RecordedRequest::path));
}

qint64 FakeAgent::bytesSent(const QString& path) const {
    std::lock_guard lock(d->mutex);
    return d->bytesSent.value(path);
}

int FakeAgent::activeReplies() const {
    return d->active;
}

QByteArray healthBody(const QString& version, const QJsonObject& overrides,
                      const QStringList& removed) {
    QJsonObject health = QJsonDocument::fromJson(R"({"ok": true, "name": "orvanta-print-agent",
        "platform": "linux", "architecture": "x86_64", "deviceId": "device-1",
        "formats": ["pdf", "zpl"], "signing": {"configured": true, "enabled": true, "code": null,
        "message": "готова", "organizationName": "ООО Ромашка"}})")
                             .object();
    health.insert("version", version);
    for (auto it = overrides.begin(); it != overrides.end(); ++it)
        health.insert(it.key(), *it);
    for (const QString& name : removed)
        health.remove(name);
    return QJsonDocument(health).toJson(QJsonDocument::Compact);
}

} // namespace kestrel::test
