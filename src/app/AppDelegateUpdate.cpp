#include "AppDelegate.h"

// Not built yet: does nothing.
namespace kestrel {

void AppDelegate::checkForUpdate() {}

void AppDelegate::handleUpdateButton() {}

void AppDelegate::downloadAvailableUpdate() {}

QNetworkAccessManager* AppDelegate::updateSession() { return nullptr; }

} // namespace kestrel
