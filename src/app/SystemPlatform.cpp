#include "log/DiagnosticLog.h"
#include "platform/LegacyInstall.h"
#include "platform/Platform.h"
#include "platform/SystemServices.h"

#include <QCoreApplication>

#ifdef Q_OS_MACOS
#include "platform/macos/LoginItemMac.h"
#include "platform/macos/MacDesktop.h"
#else
#include "platform/linux/LinuxDesktop.h"
#include "platform/linux/LoginItemLinux.h"
#endif

namespace kestrel {

PlatformServices systemPlatformServices() {
    const UserFolders user = UserFolders::current();
    PlatformServices services;
#ifdef Q_OS_MACOS
    services.loginItem = std::make_unique<LoginItemMac>();
    services.desktop = std::make_unique<MacDesktop>();
    services.wakeWatcher = std::make_unique<MacWakeWatcher>();
#else
    services.loginItem = std::make_unique<LoginItemLinux>(
        QCoreApplication::applicationFilePath(), user.configHome + QStringLiteral("/autostart"));
    services.desktop = std::make_unique<LinuxDesktop>();
    services.wakeWatcher = std::make_unique<LogindWakeWatcher>();
#endif
    services.networkFactory = std::make_unique<DefaultNetworkFactory>();
    services.legacyInstall = legacyInstallFor(thisHostOs(), user);
    services.logFilePath = defaultLogFilePath();
    services.downloadsFolder = defaultDownloadsFolder();
    return services;
}

} // namespace kestrel
