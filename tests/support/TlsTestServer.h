#pragma once

#include "support/FakeAgent.h"

#include <QSslCertificate>

class QNetworkAccessManager;
class QObject;

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

// An HTTPS server on 127.0.0.1 with a key and self-signed certificate made at
// start for `hostName`. Answers GET on the paths it was told, 404 elsewhere.
// Every member may be called from any thread.
class TlsTestServer {
public:
    explicit TlsTestServer(const QString& hostName)
        : m_agent(0, hostName), m_certificate(m_agent.certificate(), QSsl::Der) {}

    bool isListening() const { return m_agent.isListening(); }
    int port() const { return m_agent.port(); }
    QSslCertificate certificate() const { return m_certificate; }

    void setResponse(const QString& path, const TlsResponse& response);
    // Lets every held response finish.
    void release() { m_agent.release(); }
    // Stops answering; later connections are refused.
    void stop() { m_agent.stop(); }

    // Paths requested so far, in order, and the User-Agent of the last one.
    QStringList requestedPaths() const;
    QString lastUserAgent() const;
    // Body bytes written on `path` by all requests so far.
    qint64 bytesSent(const QString& path) const { return m_agent.bytesSent(path); }
    // Requests whose body is still being written.
    int activeResponses() const { return m_agent.activeReplies(); }

private:
    FakeAgent m_agent;
    const QSslCertificate m_certificate;
};

// A network access manager that sends every request for `hostName` to
// 127.0.0.1:`port` instead, trusting only `certificate` and still checking it
// against `hostName`.
QNetworkAccessManager* createRoutingManager(const QString& hostName, int port,
                                            const QSslCertificate& certificate, QObject* parent);

} // namespace kestrel::test
