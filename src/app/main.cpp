#include "app/AppDelegate.h"
#include "app/ApplicationSetup.h"
#include "pairing/PairingLink.h"
#include "platform/BundleInfo.h"
#include "platform/SingleInstance.h"
#include "platform/SystemServices.h"
#include "platform/UrlOpenEvents.h"
#include "ui/MessageBoxPresenter.h"

#include <QApplication>
#include <vector>

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
    // Qt takes its own options out of argv; the strings stay where they were.
    std::vector<char*> commandLine(argv, argv + argc);
    QApplication application(argc, argv);
    const Config config = buildConfig();
    setUpApplication(application, config.bundlePath);

    // One instance per user: a second start hands its link (or, without one,
    // a request to show the window) to the running instance and ends.
    const QStringList arguments = application.arguments().mid(1);
    // A token must not stay readable in the process list for the whole run.
    SingleInstance::eraseArguments(int(commandLine.size()), commandLine.data());
    if (!arguments.isEmpty() &&
        !pairingTokenFromLinks(SingleInstance::linksFromArguments(arguments))) {
        qWarning("KestrelAgent: refused: not a kestrel://connect?pairingToken=… link");
        return 2;
    }
    SingleInstance instance;
    switch (instance.forwardToRunning(arguments)) {
    case SingleInstance::Handover::Delivered:
        return 0;
    case SingleInstance::Handover::Failed:
        // Never a second application beside the running one.
        qWarning("KestrelAgent: the running instance did not take the request");
        return 1;
    case SingleInstance::Handover::NoInstance:
        break;
    }
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
