#include "ApplicationSetup.h"

#include "ui/Icons.h"

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QTranslator>

namespace kestrel {

void setUpApplication(QApplication& application, const QString& bundlePath) {
    QApplication::setApplicationName(QStringLiteral("KestrelAgent"));
#ifdef Q_OS_MACOS
    QApplication::setApplicationDisplayName(QStringLiteral("Агент KESTREL"));
#endif
    // Elsewhere a display name would be appended to every window title, so
    // the window manager would show «Агент KESTREL 1.0.0 — Агент KESTREL».
    QApplication::setDesktopFileName(QStringLiteral("kestrel-agent"));
    QApplication::setWindowIcon(applicationIcon());
    QApplication::setQuitOnLastWindowClosed(false);
    installRussianQtTranslations(application, bundlePath);
}

bool installRussianQtTranslations(QCoreApplication& application, const QString& bundlePath) {
    const QStringList folders{
        QDir(bundlePath).filePath(QStringLiteral("Contents/Resources/translations")),
        QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
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
