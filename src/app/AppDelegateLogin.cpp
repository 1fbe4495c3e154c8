#include "AppDelegate.h"

// Not built yet: does nothing.
namespace kestrel {

void AppDelegate::updateLoginItemState() {}

void AppDelegate::toggleLoginItem(bool) {}

bool AppDelegate::stopLegacyAgent() { return false; }

} // namespace kestrel
