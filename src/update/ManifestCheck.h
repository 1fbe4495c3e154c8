#pragma once

#include "update/UpdateSelection.h"

#include <QUrl>
#include <functional>

class QNetworkAccessManager;
class QObject;

namespace kestrel {

struct ManifestCheckRequest {
    QUrl manifestUrl;
    QString appVersion;
    qint64 maximumBytes = 0;
    UpdateConstants constants;
};

struct ManifestCheckResult {
    // 0 when no HTTP response arrived.
    int httpStatus = 0;
    UpdateOutcome outcome;
};

namespace updateMessages {
inline const QString serverUnavailable = QStringLiteral("Сервер обновлений временно недоступен.");
inline const QString badManifest = QStringLiteral("Манифест обновления не читается.");
} // namespace updateMessages

// Judges a manifest body that arrived whole with status 200.
UpdateOutcome judgeManifestBody(const QByteArray& body, const ManifestCheckRequest& request);

// Fetches the manifest, reading no more than maximumBytes + 1 bytes of it, and
// judges it. `done` runs once, on context's thread, unless context is gone.
void checkManifest(QNetworkAccessManager& session, const ManifestCheckRequest& request,
                   QObject* context, std::function<void(ManifestCheckResult)> done);

} // namespace kestrel
