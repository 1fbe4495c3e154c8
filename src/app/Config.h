#pragma once

#include "update/UpdateSelection.h"

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
    // Which manifest, build and file name are ours; the platform name is
    // also shown in the window.
    UpdatePlatform updatePlatform = thisUpdatePlatform();
    // The .app folder the running executable lives in.
    QString bundlePath;
};

} // namespace kestrel
