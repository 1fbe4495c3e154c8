#include "ManifestCheck.h"

#include "update/UpdateNetwork.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <memory>

namespace kestrel {

namespace {

struct ManifestBody {
    QByteArray data;
    bool tooLarge = false;
};

bool announcesTooMuch(const QNetworkReply& reply, qint64 maximumBytes) {
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    return length.isValid() && length.toLongLong() > maximumBytes &&
           !isRedirectStatus(httpStatus(reply));
}

UpdateOutcome judgeReply(const QNetworkReply& reply, const ManifestBody& body,
                         const ManifestCheckRequest& request) {
    const int status = httpStatus(reply);
    if (body.tooLarge || (status != 0 && status != 200))
        return updateError(updateMessages::serverUnavailable);
    if (reply.error() != QNetworkReply::NoError)
        return transportError(reply);
    if (status == 0 || body.data.isEmpty())
        return updateError(updateMessages::serverUnavailable);
    return judgeManifestBody(body.data, request);
}

} // namespace

UpdateOutcome judgeManifestBody(const QByteArray& body, const ManifestCheckRequest& request) {
    if (body.size() > request.maximumBytes)
        return updateError(updateMessages::serverUnavailable);
    const std::optional<UpdateManifest> manifest = decodeUpdateManifest(body);
    if (!manifest)
        return updateError(updateMessages::badManifest);
    return availableUpdate(*manifest, request.appVersion, request.constants);
}

void checkManifest(QNetworkAccessManager& session, const ManifestCheckRequest& request,
                   QObject* context, std::function<void(ManifestCheckResult)> done) {
    QNetworkReply* reply =
        startUpdateExchange(session, updateRequest(request.manifestUrl, request.appVersion));
    auto body = std::make_shared<ManifestBody>();
    const qint64 limit = request.maximumBytes;

    // Reading stops as soon as the body is known to be too large, so a
    // hostile server cannot make us hold more than the limit. The read
    // buffer keeps the network thread from pulling more in the meantime.
    reply->setReadBufferSize(limit + 1);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, body, limit] {
        if (!body->tooLarge && announcesTooMuch(*reply, limit)) {
            body->tooLarge = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, body, limit] {
        if (body->tooLarge || isRedirectStatus(httpStatus(*reply)))
            return;
        body->data += reply->read(limit + 1 - body->data.size());
        if (body->data.size() > limit) {
            body->tooLarge = true;
            body->data.clear();
            reply->abort();
        }
    });
    QObject::connect(
        reply, &QNetworkReply::finished, context, [reply, body, request, done = std::move(done)] {
            reply->deleteLater();
            if (!body->tooLarge && !isRedirectStatus(httpStatus(*reply)))
                body->data += reply->read(request.maximumBytes + 1 - body->data.size());
            done({httpStatus(*reply), judgeReply(*reply, *body, request)});
        });
}

} // namespace kestrel
