#pragma once

#include "update/UpdateError.h"

#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <chrono>

class QNetworkAccessManager;
class QNetworkReply;

namespace kestrel {

namespace updateMessages {
inline const QString timedOut =
    QStringLiteral("Сервер обновлений не отвечает: время ожидания истекло.");
} // namespace updateMessages

// Longest silence on an update transfer before it is given up.
inline constexpr std::chrono::milliseconds updateIdleTimeout{10'000};
// Longest time one manifest or image exchange may take as a whole.
inline constexpr std::chrono::milliseconds updateExchangeLimit{600'000};

// Sets up the shared update session: idle limit, redirects followed as the
// platform does by default, nothing cached.
void configureUpdateSession(QNetworkAccessManager& session);

// A plain GET with the application's User-Agent that bypasses any cache.
QNetworkRequest updateRequest(const QUrl& url, const QString& appVersion);

// Sends the request; the reply is aborted when the whole exchange outlasts
// `limit`. The caller owns the reply.
QNetworkReply* startUpdateExchange(QNetworkAccessManager& session, const QNetworkRequest& request,
                                   std::chrono::milliseconds limit = updateExchangeLimit);

// The final HTTP status of the reply, 0 when no HTTP response arrived.
int httpStatus(const QNetworkReply& reply);

bool isRedirectStatus(int status);

// The reply's own error as an error value with the network stack's text.
UpdateError transportError(const QNetworkReply& reply);

} // namespace kestrel
