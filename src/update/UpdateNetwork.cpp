#include "UpdateNetwork.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace kestrel {

void configureUpdateSession(QNetworkAccessManager& session) {
    session.setTransferTimeout(static_cast<int>(updateIdleTimeout.count()));
    session.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    session.setCache(nullptr);
}

QNetworkRequest updateRequest(const QUrl& url, const QString& appVersion) {
    QNetworkRequest request(url);
    request.setRawHeader("User-Agent", QByteArrayLiteral("Orvanta-Print/") + appVersion.toUtf8());
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    return request;
}

QNetworkReply* startUpdateExchange(QNetworkAccessManager& session, const QNetworkRequest& request,
                                   std::chrono::milliseconds limit) {
    QNetworkReply* reply = session.get(request);
    // The session's own timeout only measures silence; a body that trickles
    // in forever needs a limit on the whole exchange.
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    QObject::connect(reply, &QNetworkReply::finished, deadline, &QTimer::stop);
    deadline->start(limit);
    return reply;
}

int httpStatus(const QNetworkReply& reply) {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return status.isValid() ? status.toInt() : 0;
}

bool isRedirectStatus(int status) {
    return status >= 300 && status < 400;
}

UpdateError transportError(const QNetworkReply& reply) {
    // Every cancellation of our own is decided, and reported, before the
    // reply ends; one that reaches here was the idle or the whole-exchange
    // limit, which Qt reports as a cancellation the user never asked for.
    if (reply.error() == QNetworkReply::OperationCanceledError)
        return platformError(QStringLiteral("QNetworkReply"), QNetworkReply::TimeoutError,
                             updateMessages::timedOut);
    return platformError(QStringLiteral("QNetworkReply"), static_cast<int>(reply.error()),
                         reply.errorString());
}

} // namespace kestrel
