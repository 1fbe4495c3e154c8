#include "app/AppDelegate.h"
#include "app/ApplicationSetup.h"
#include "platform/BundleInfo.h"
#include "platform/SingleInstance.h"
#include "platform/SystemServices.h"
#include "platform/UrlOpenEvents.h"
#include "ui/MessageBoxPresenter.h"

#include <QApplication>

using namespace kestrel;

namespace {

Config buildConfig() {
    Config config;
    config.portalUrl = QUrl(QStringLiteral(KESTREL_PORTAL_URL));
    config.updateHost = QStringLiteral(KESTREL_UPDATE_HOST);
    config.updatePlatform = thisUpdatePlatform();
    config.updateManifestUrl =
        QUrl(QStringLiteral("https://") + config.updateHost +
             QStringLiteral("/downloads/print-agent/") + config.updatePlatform.manifestName);
    config.bundlePath = bundlePathForExecutableDir(QCoreApplication::applicationDirPath());
    return config;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    const Config config = buildConfig();
    setUpApplication(application, config.bundlePath);

    // One instance per user: a second start hands its link (or, without one,
    // a request to show the window) to the running instance and ends.
    const QStringList arguments = application.arguments().mid(1);
    SingleInstance instance;
    if (instance.forwardToRunning(arguments))
        return 0;
    instance.listen();

    AppDelegate delegate(config, systemPlatformServices(), std::make_unique<MessageBoxPresenter>());
    QObject::connect(&instance, &SingleInstance::linksReceived, &delegate, &AppDelegate::openUrls);
    QObject::connect(&instance, &SingleInstance::showRequested, &delegate,
                     &AppDelegate::showWindow);
    // macOS hands links over as URL-open events.
    UrlOpenEvents urlEvents;
    application.installEventFilter(&urlEvents);
    QObject::connect(&urlEvents, &UrlOpenEvents::linksReceived, &delegate, &AppDelegate::openUrls);
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    TerminationSignalWatcher terminationSignals;
    QObject::connect(&terminationSignals, &TerminationSignalWatcher::terminationRequested,
                     &application, &QCoreApplication::quit);

    delegate.applicationDidFinishLaunching();
    if (!arguments.isEmpty())
        delegate.openUrls(SingleInstance::linksFromArguments(arguments));
    return application.exec();
}
