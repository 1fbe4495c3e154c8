#include "PairingRequest.h"

#include "agentclient/OneShotBody.h"
#include "agentclient/StatusRequest.h"

#include "json/StrictJson.h"
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

namespace kestrel {

namespace {

QNetworkRequest buildRequest(const PairingRequestParams& params, const PairingLimits& limits) {
    QNetworkRequest request(pairingRequestUrl(params.base, params.path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader(QByteArrayLiteral("X-Kestrel-App"), params.secret.toUtf8());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setTransferTimeout(static_cast<int>(limits.idle.count()));
    return request;
}

PairingOutcome outcomeOf(QNetworkReply& reply, const QString& failureMessage) {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const std::optional<int> code = status.isValid() ? std::optional(status.toInt()) : std::nullopt;
    // An aborted reply is closed and has nothing left to read.
    const QByteArray body = reply.isOpen() ? reply.readAll() : QByteArray();
    return judgePairingReply(code, reply.error() == QNetworkReply::NoError, body, failureMessage);
}

} // namespace

QUrl pairingRequestUrl(const QUrl& base, const QString& path) {
    QUrl url = base;
    QString basePath = base.path();
    if (!basePath.endsWith(QLatin1Char('/')))
        basePath += QLatin1Char('/');
    url.setPath(basePath + path);
    return url;
}

QByteArray pairingRequestBody(const std::optional<QString>& ticket) {
    QJsonObject object;
    if (ticket)
        object.insert(QStringLiteral("pairingToken"), *ticket);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<QString> agentErrorMessage(const QByteArray& body) {
    const std::optional<QJsonObject> object = json::parseObject(body);
    if (!object)
        return std::nullopt;
    const QJsonValue error = object->value(QStringLiteral("error"));
    if (!error.isString())
        return std::nullopt;
    return error.toString();
}

PairingOutcome judgePairingReply(std::optional<int> status, bool transportOk,
                                 const QByteArray& body, const QString& failureMessage) {
    if (status == 200 && transportOk)
        return {body, {}};
    return {std::nullopt, agentErrorMessage(body).value_or(failureMessage)};
}

void configurePairingSession(QNetworkAccessManager& session) {
    // An explicit proxy on the manager wins over both the environment
    // (http_proxy) and QNetworkProxy::setApplicationProxy().
    session.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    session.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    session.setCache(nullptr);
}

void sendPairingRequest(QNetworkAccessManager& session, const PairingRequestParams& params,
                        QObject* context, std::function<void(PairingOutcome)> done,
                        PairingLimits limits) {
    // The factory that made the session is not ours: whatever it or anyone
    // later set, this request goes out directly.
    configurePairingSession(session);
    // One user action, one request: Qt may not send it again on its own.
    const QByteArray body = pairingRequestBody(params.ticket);
    QNetworkRequest request = buildRequest(params, limits);
    request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    QIODevice* upload = makeOneShotBody(body, nullptr);
    QNetworkReply* reply = session.post(request, upload);
    upload->setParent(reply);

    // Same cut-off as the status replies: what the agent says about a
    // privileged request is a few kilobytes at most.
    limitReplyBody(*reply, limits.maximumBodyBytes);

    auto* wholeExchange = new QTimer(reply);
    wholeExchange->setSingleShot(true);
    QObject::connect(wholeExchange, &QTimer::timeout, reply, &QNetworkReply::abort);
    wholeExchange->start(limits.whole);

    QObject::connect(
        reply, &QNetworkReply::finished, reply,
        [reply, failureMessage = params.failureMessage, target = QPointer<QObject>(context),
         done = std::move(done)]() mutable {
            PairingOutcome outcome = outcomeOf(*reply, failureMessage);
            reply->deleteLater();
            if (!target)
                return;
            // Queued, so the caller's state changes (and any modal alert it
            // opens) never run inside the network stack's signal emission.
            QMetaObject::invokeMethod(
                target.data(),
                [done = std::move(done), outcome = std::move(outcome)]() { done(outcome); },
                Qt::QueuedConnection);
        },
        Qt::SingleShotConnection);
}

} // namespace kestrel
