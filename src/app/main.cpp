#include "app/AppDelegate.h"
#include "platform/BundleInfo.h"
#include "platform/SystemServices.h"
#include "ui/Icons.h"
#include "ui/MessageBoxPresenter.h"

#include <QApplication>

using namespace kestrel;

namespace {

Config buildConfig() {
    Config config;
    config.portalUrl = QUrl(QStringLiteral(KESTREL_PORTAL_URL));
    config.updateHost = QStringLiteral(KESTREL_UPDATE_HOST);
    config.updateManifestUrl = QUrl(QStringLiteral("https://") + config.updateHost +
                                    QStringLiteral("/downloads/print-agent/latest-macos.json"));
    config.bundlePath = bundlePathForExecutableDir(QCoreApplication::applicationDirPath());
    return config;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KestrelAgent"));
    QApplication::setApplicationDisplayName(QStringLiteral("Агент KESTREL"));
    QApplication::setDesktopFileName(QStringLiteral("kestrel-agent"));
    QApplication::setWindowIcon(applicationIcon());
    QApplication::setQuitOnLastWindowClosed(false);

    AppDelegate delegate(buildConfig(), systemPlatformServices(),
                         std::make_unique<MessageBoxPresenter>());
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    TerminationSignalWatcher terminationSignals;
    QObject::connect(&terminationSignals, &TerminationSignalWatcher::terminationRequested,
                     &application, &QCoreApplication::quit);

    delegate.applicationDidFinishLaunching();
    return application.exec();
}
