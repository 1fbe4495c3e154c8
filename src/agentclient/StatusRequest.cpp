#include "StatusRequest.h"

#include "OneShotBody.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

namespace kestrel {

namespace {

// Errors Qt derives from the HTTP status line of a reply that did arrive.
bool isHttpStatusError(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::ContentAccessDenied:
    case QNetworkReply::ContentOperationNotPermittedError:
    case QNetworkReply::ContentNotFoundError:
    case QNetworkReply::AuthenticationRequiredError:
    case QNetworkReply::ContentConflictError:
    case QNetworkReply::ContentGoneError:
    case QNetworkReply::UnknownContentError:
    case QNetworkReply::ProtocolInvalidOperationError:
    case QNetworkReply::InternalServerError:
    case QNetworkReply::OperationNotImplementedError:
    case QNetworkReply::ServiceUnavailableError:
    case QNetworkReply::UnknownServerError:
        return true;
    default:
        return false;
    }
}

} // namespace

QString errorText(const std::optional<TransportError>& error) {
    if (!error)
        return QStringLiteral("none:0");
    return error->domain + u':' + QString::number(error->code);
}

ReplyResult takeReply(QNetworkReply& reply) {
    ReplyResult result;
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        result.statusCode = status.toInt();
    const QNetworkReply::NetworkError error = reply.error();
    if (error != QNetworkReply::NoError && !(result.statusCode && isHttpStatusError(error)))
        result.error = TransportError{QString::fromUtf16(transportErrorDomain), int(error)};
    if (!result.error && result.statusCode)
        result.body = reply.readAll();
    reply.deleteLater();
    return result;
}

void limitReplyBody(QNetworkReply& reply, qint64 maximumBodyBytes) {
    // The read buffer bounds what is held until the cut-off.
    reply.setReadBufferSize(2 * maximumBodyBytes);
    QObject::connect(&reply, &QNetworkReply::readyRead, &reply, [reply = &reply, maximumBodyBytes] {
        if (reply->bytesAvailable() > maximumBodyBytes)
            reply->abort();
    });
}

QUrl agentUrl(const QUrl& base, const QString& path) {
    QUrl url = base;
    QString basePath = url.path();
    if (!basePath.endsWith(u'/'))
        basePath += u'/';
    url.setPath(basePath + path);
    return url;
}

void sendStatusRequest(QNetworkAccessManager& session, const QUrl& url, const QObject* context,
                       std::function<void(const ReplyResult&)> done, StatusLimits limits,
                       const QList<QPair<QByteArray, QByteArray>>& headers) {
    QNetworkRequest request(url);
    for (const auto& [name, value] : headers)
        request.setRawHeader(name, value);
    // Not AlwaysNetwork: Qt would add "Cache-Control: no-cache" to every
    // request, and the agent would ask the print system at every poll instead
    // of giving its recent list. Nothing is cached here either way: the
    // session has no cache and nothing is saved to one.
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    // Only an idle limit: a body that keeps dripping never trips it.
    request.setTransferTimeout(int(limits.idle.count()));

    // Qt sends a request again when the connection closes without a reply;
    // an empty body it cannot rewind makes that the poll's failure instead.
    QIODevice* upload = makeOneShotBody({}, nullptr);
    QNetworkReply* reply = session.sendCustomRequest(request, "GET", upload);
    upload->setParent(reply);
    limitReplyBody(*reply, limits.maximumBodyBytes);

    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    deadline->start(limits.total);

    QObject::connect(
        reply, &QNetworkReply::finished, reply,
        [reply, deadline, context = QPointer<const QObject>(context), done = std::move(done)] {
            deadline->stop();
            const ReplyResult result = takeReply(*reply);
            if (context)
                done(result);
        });
}

} // namespace kestrel
