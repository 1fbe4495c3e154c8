#include "platform/LegacyInstall.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <unistd.h>

namespace kestrel {

namespace {

const QString serviceLabel = QStringLiteral("ru.orvanta.print-agent");

} // namespace

UserFolders UserFolders::current() {
    UserFolders user;
    user.home = QDir::homePath();
    // The base-directory rules say a relative value is invalid and must be ignored.
    const QString xdgConfigHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    user.configHome = QDir::isAbsolutePath(xdgConfigHome) ? QDir::cleanPath(xdgConfigHome)
                                                          : user.home + QStringLiteral("/.config");
    user.uid = ::getuid();
    return user;
}

LegacyInstall legacyInstallFor(HostOs os, const UserFolders& user) {
    switch (os) {
    case HostOs::MacOS:
        return {user.home + QStringLiteral("/Library/LaunchAgents/") + serviceLabel +
                    QStringLiteral(".plist"),
                QStringLiteral("/bin/launchctl"),
                {QStringLiteral("bootout"),
                 QStringLiteral("gui/%1/%2").arg(user.uid).arg(serviceLabel)}};
    case HostOs::Linux:
        return {user.configHome + QStringLiteral("/systemd/user/") + serviceLabel +
                    QStringLiteral(".service"),
                QStringLiteral("systemctl"),
                {QStringLiteral("--user"), QStringLiteral("disable"), QStringLiteral("--now"),
                 serviceLabel + QStringLiteral(".service")},
                user.configHome + QStringLiteral("/systemd/user"),
                {QStringLiteral("--user"), QStringLiteral("daemon-reload")}};
    }
    Q_UNREACHABLE();
}

bool stopLegacyAgent(const LegacyInstall& install, std::chrono::milliseconds toolTimeLimit) {
    if (install.serviceFile.isEmpty() || !QFileInfo::exists(install.serviceFile)) {
        return false;
    }

    // The launch waits for the tool, so a tool that hangs must not hold the
    // application back for ever.
    const QDeadlineTimer deadline(toolTimeLimit);
    const auto runTool = [&](const QStringList& arguments) {
        QProcess tool;
        tool.setStandardInputFile(QProcess::nullDevice());
        tool.setStandardOutputFile(QProcess::nullDevice());
        tool.setStandardErrorFile(QProcess::nullDevice());
        tool.start(install.program, arguments);
        if (tool.waitForStarted(int(deadline.remainingTime())) &&
            !tool.waitForFinished(int(deadline.remainingTime()))) {
            tool.kill();
            tool.waitForFinished();
        }
    };
    runTool(install.arguments);

    // Disabling removes the links itself; without the tool they would be
    // left pointing at a deleted file.
    if (!install.enablementFolder.isEmpty()) {
        const QString name = QFileInfo(install.serviceFile).fileName();
        const QDir folder(install.enablementFolder);
        for (const QString& wants :
             folder.entryList({QStringLiteral("*.wants")}, QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QFileInfo link(folder.filePath(wants + QLatin1Char('/') + name));
            if (link.isSymLink())
                QFile::remove(link.filePath());
        }
    }
    // QFile::remove never deletes a folder, so a directory that happens to
    // carry the file's name stays, and the next launch tries again.
    QFile::remove(install.serviceFile);
    if (!install.reloadArguments.isEmpty())
        runTool(install.reloadArguments);
    return true;
}

} // namespace kestrel
