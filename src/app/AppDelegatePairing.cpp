#include "AppDelegate.h"

// Not built yet: does nothing.
namespace kestrel {

void AppDelegate::openUrls(const QList<QUrl>&) {}

void AppDelegate::processPendingPairing() {}

void AppDelegate::pairingRequest(const QString&, const std::optional<QString>&, const QString&,
                                 std::function<void(std::optional<QByteArray>, QString)>) {}

QNetworkAccessManager* AppDelegate::pairingSession() { return nullptr; }

void AppDelegate::openSigningSettings() {}

void AppDelegate::resumeSigningIfNeeded() {}

} // namespace kestrel
