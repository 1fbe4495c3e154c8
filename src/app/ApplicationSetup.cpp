#include "ApplicationSetup.h"

#include "ui/Icons.h"

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QTranslator>

namespace kestrel {

void setUpApplication(QApplication& application, const QString& bundlePath) {
    QApplication::setApplicationName(QStringLiteral("KestrelAgent"));
    // On X11 and Wayland Qt appends a display name to every window title
    // that does not end with it, so the window manager would show
    // «Агент KESTREL 1.0.0 — Агент KESTREL»; the alerts carry the name as
    // their own title instead.
#ifdef Q_OS_MACOS
    QApplication::setApplicationDisplayName(QStringLiteral("Агент KESTREL"));
#endif
    QApplication::setDesktopFileName(QStringLiteral("kestrel-agent"));
    QApplication::setWindowIcon(applicationIcon());
    QApplication::setQuitOnLastWindowClosed(false);
    installRussianQtTranslations(application, bundlePath);
}

bool installRussianQtTranslations(QCoreApplication& application, const QString& bundlePath) {
    QStringList folders{QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
    if (!bundlePath.isEmpty())
        folders.prepend(
            QDir(bundlePath).filePath(QStringLiteral("Contents/Resources/translations")));
    for (const QString& folder : folders) {
        auto translator = std::make_unique<QTranslator>(&application);
        if (translator->load(QStringLiteral("qtbase_ru"), folder)) {
            QCoreApplication::installTranslator(translator.release());
            return true;
        }
    }
    return false;
}

} // namespace kestrel
