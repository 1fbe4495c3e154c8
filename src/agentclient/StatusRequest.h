#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QObject;

namespace kestrel {

// The error family every transport error of Qt's HTTP client belongs to; the
// code is the numeric QNetworkReply::NetworkError (1 connection refused,
// 5 cancelled, which is also how both time limits end).
inline constexpr char16_t transportErrorDomain[] = u"QNetworkReply";

// An exchange that failed below HTTP: no connection, aborted, cut short.
struct TransportError {
    QString domain;
    int code = 0;

    bool operator==(const TransportError&) const = default;
};

// What one finished exchange left behind, as a plain value.
struct ReplyResult {
    std::optional<int> statusCode;
    // Absent when the exchange ended with a transport error: a body cut short
    // is not a reply, even if what arrived happens to parse.
    std::optional<QByteArray> body;
    std::optional<TransportError> error;
};

// "D:C" of a transport error, "none:0" without one.
QString errorText(const std::optional<TransportError>& error);

// The one place a finished reply becomes a value. HTTP statuses that Qt also
// reports as errors (404, 500, …) are statuses, not transport errors. Releases
// the reply with deleteLater().
ReplyResult takeReply(QNetworkReply& reply);

// Limits of one status exchange: `total` bounds the whole exchange, connection
// set-up included; `idle` ends it when no data moves for that long; a body
// longer than `maximumBodyBytes` ends it at once, as cancelled.
struct StatusLimits {
    std::chrono::milliseconds total{2000};
    std::chrono::milliseconds idle{1500};
    qint64 maximumBodyBytes = 1024 * 1024;
};

// The agent's replies are a few kilobytes at most. Read whole, an endless
// body would take gigabytes of memory within an exchange's time limit, so a
// reply whose body passes `maximumBodyBytes` is aborted (cancelled) at once.
void limitReplyBody(QNetworkReply& reply, qint64 maximumBodyBytes);

// `path` appended to `base` as one more path component.
QUrl agentUrl(const QUrl& base, const QString& path);

// Sends a plain GET for a read-only agent endpoint: no header but `headers`,
// no credential, no cache, no cookies sent or kept. `done` runs once on the
// thread of `session`, unless `context` is gone by then.
void sendStatusRequest(QNetworkAccessManager& session, const QUrl& url, const QObject* context,
                       std::function<void(const ReplyResult&)> done, StatusLimits limits = {},
                       const QList<QPair<QByteArray, QByteArray>>& headers = {});

} // namespace kestrel
