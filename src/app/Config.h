#pragma once

#include <QString>
#include <QUrl>

namespace kestrel {

// Program-wide constants. main() fills one from the build settings and hands
// it to the controller; tests build their own (a fake agent on another port,
// a local update host, a temporary bundle).
struct Config {
    QUrl agentBaseUrl{QStringLiteral("http://localhost:43127")};
    QUrl privateAgentUrl{QStringLiteral("http://127.0.0.1:43127")};
    QUrl portalUrl;
    QUrl updateManifestUrl;
    QString updateHost;
    qint64 maximumUpdateBytes = 314572800;
    qint64 maximumManifestBytes = 131072;
    double updateCheckInterval = 86400.0;
    double pollInterval = 3.0;
    QString updateBuildKey = QStringLiteral("macos-arm64");
    QString updateFilenamePlatform = QStringLiteral("AppleSilicon");
    QString updatePlatformName = QStringLiteral("Mac с процессором M");
    // The .app folder the running executable lives in.
    QString bundlePath;
};

} // namespace kestrel
