#include "AppDelegate.h"

// Not built yet: does nothing.
namespace kestrel {

void AppDelegate::refreshStatus() {}

void AppDelegate::refreshNow() { refreshStatus(); }

void AppDelegate::refreshPrinters() {}

QNetworkAccessManager* AppDelegate::session() { return nullptr; }

} // namespace kestrel
