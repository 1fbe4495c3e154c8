#pragma once

#include <QString>

class QApplication;
class QCoreApplication;

namespace kestrel {

// Names, icon, the quitting rule and Qt's own Russian texts.
void setUpApplication(QApplication& application, const QString& bundlePath);

// Loads Qt's Russian translations whatever the user's locale: the interface
// is Russian only, so the network's and the dialogs' own texts must be too.
// They come from the bundle where it carries them (macOS), else from Qt's
// installation. False when none were found.
bool installRussianQtTranslations(QCoreApplication& application, const QString& bundlePath);

} // namespace kestrel
