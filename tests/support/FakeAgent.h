#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QStringList>
#include <QUrl>
#include <chrono>
#include <memory>
#include <optional>

// A scriptable stand-in for the agent's HTTP interface, for tests.
//
//     kestrel::test::FakeAgent agent;                       // 127.0.0.1, a free port
//     agent.setReply("/v1/health", {.body = healthBody("1.0.0")});
//     config.agentBaseUrl = agent.baseUrl();
//     ...
//     QCOMPARE(agent.requestCount("/v1/health"), 1);
//
// The server runs in its own threads from construction to destruction; every
// member may be called from any thread. A path without a reply answers 404
// with {"error":"not found"}. Replies that hang, drip or are held are let go
// when the agent stops. Given a host name it speaks HTTPS instead, with a key
// and self-signed certificate made for that name (UpdateHost builds on this).
namespace kestrel::test {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

struct FakeReply {
    int status = 200;
    QByteArray body{};
    // Extra response headers, e.g. {"Set-Cookie", "a=b"}.
    HeaderList headers{};
    // Wait this long before answering at all.
    std::chrono::milliseconds delay{0};
    // Answer only after release(), if ever.
    bool hang = false;
    // Send the headers at once, then the body one byte at a time, this far apart.
    std::chrono::milliseconds drip{0};
    // Instead of `body`: this many bytes of patternBytes(), or endless ones with no length
    // (bounded for safety).
    std::optional<qint64> patternSize{};
    bool endless = false;
    // Send half the body, then wait for release() before the rest (streamed bodies only:
    // patterns, or any body over HTTPS).
    bool holdHalfway = false;
};

// Deterministic content for large bodies, so tests can hash what the server
// sends without keeping it.
QByteArray patternBytes(qint64 offset, qint64 size);

// More than a client that stopped reading early can have let through: the
// kernel's loopback buffers grow to tens of MiB while a fast reader keeps up,
// and take that much before the server's next write blocks. A client reading
// to the end of a 64 MiB or endless body goes past it.
constexpr qint64 stoppedReaderBytes = qint64(48) << 20;

struct RecordedRequest {
    QByteArray method;
    QString path;
    HeaderList headers{};
    QByteArray body{};

    bool hasHeader(const QByteArray& name) const { return !header(name).isNull(); }
    // The first value of a header (names compared without case); null if absent.
    QByteArray header(const QByteArray& name) const;
};

class FakeAgent {
public:
    // Listens on 127.0.0.1 at `port`; 0 lets the system choose a free one.
    explicit FakeAgent(quint16 port = 0, const QString& tlsHostName = {});
    ~FakeAgent();

    bool isListening() const { return m_port > 0; }
    quint16 port() const { return m_port > 0 ? quint16(m_port) : 0; }
    // "http://127.0.0.1:<port>"
    QUrl baseUrl() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port())); }
    // The DER certificate served over HTTPS; empty without a host name.
    QByteArray certificate() const { return m_certificate; }

    // The reply to `method` requests of `path` (e.g. "/v1/health") from now on.
    void setReply(const QString& path, FakeReply reply, const QByteArray& method = "GET");

    // Every request received so far, in order of arrival.
    QList<RecordedRequest> requests() const;
    int requestCount(const QString& path) const;
    // Body bytes written on `path` so far, and the replies still being written.
    qint64 bytesSent(const QString& path) const;
    int activeReplies() const;
    // Lets every held reply finish.
    void release();
    // Stops answering: later connections are refused.
    void stop();

private:
    struct State;
    std::unique_ptr<State> d;
    int m_port = -1;
    QByteArray m_certificate;
};

// A valid health reply of `version` with a signing record; each member of
// `overrides` replaces the one of the same name, members named in `removed`
// are left out.
QByteArray healthBody(const QString& version, const QJsonObject& overrides = {},
                      const QStringList& removed = {});

} // namespace kestrel::test

Q_DECLARE_METATYPE(kestrel::test::FakeReply)
