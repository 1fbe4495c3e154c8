#pragma once

#include <QByteArray>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class QNetworkAccessManager;
class QObject;

namespace httplib {
class SSLServer;
}

namespace kestrel::test {

// What the server answers on one path.
struct TlsResponse {
    int status = 200;
    QByteArray body{};
    // Instead of `body`: this many bytes of patternBytes(), streamed.
    std::optional<qint64> patternSize{};
    // Streams pattern bytes without end (bounded for safety) and no length.
    bool endless = false;
    // Relative location of a 302.
    QString redirectTo{};
    // Sends half the body, then waits for release() before the rest.
    bool holdHalfway = false;
};

// Deterministic content for large bodies, so tests can hash what the server
// sends without keeping it.
QByteArray patternBytes(qint64 offset, qint64 size);

// An HTTPS server on 127.0.0.1 with a key and self-signed certificate made at
// start for `hostName`. Answers GET on the paths it was told, 404 elsewhere.
class TlsTestServer {
public:
    explicit TlsTestServer(const QString& hostName);
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    bool isListening() const { return m_port > 0; }
    int port() const { return m_port; }
    const QString& hostName() const { return m_hostName; }
    QSslCertificate certificate() const { return m_certificate; }

    void setResponse(const QString& path, TlsResponse response);
    // Lets every held response finish.
    void release();
    // Stops answering; later connections are refused.
    void stop();

    // Paths requested so far, in order, and the User-Agent of the last one.
    QStringList requestedPaths() const;
    QString lastUserAgent() const;
    // Body bytes written on `path` by all requests so far.
    qint64 bytesSent(const QString& path) const;
    // Requests whose body is still being written.
    int activeResponses() const;

private:
    struct Keys;
    void handle(const std::string& path, const std::string& userAgent, void* response);
    bool writeChunk(const QString& path, const TlsResponse& response, qint64 offset, qint64 size,
                    void* sink);
    void waitForRelease();

    const QString m_hostName;
    std::unique_ptr<Keys> m_keys;
    QSslCertificate m_certificate;
    std::unique_ptr<httplib::SSLServer> m_server;
    std::thread m_thread;
    int m_port = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_isReleased = false;
    std::map<QString, TlsResponse> m_responses;
    QStringList m_requestedPaths;
    QString m_lastUserAgent;
    std::map<QString, qint64> m_bytesSent;
    int m_active = 0;
};

// A network access manager that sends every request for `hostName` to
// 127.0.0.1:`port` instead, trusting only `certificate` and still checking it
// against `hostName`.
QNetworkAccessManager* createRoutingManager(const QString& hostName, int port,
                                            const QSslCertificate& certificate, QObject* parent);

} // namespace kestrel::test
