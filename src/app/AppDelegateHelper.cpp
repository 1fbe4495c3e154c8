#include "AppDelegate.h"

// Not built yet: does nothing.
namespace kestrel {

void AppDelegate::startBundledHelper() {}

void AppDelegate::handleHelperExit(QProcess*, int, int) {}

} // namespace kestrel
