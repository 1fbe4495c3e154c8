#include "LinuxDesktop.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>

namespace kestrel {

namespace {

const QString logindService = QStringLiteral("org.freedesktop.login1");
const QString logindPath = QStringLiteral("/org/freedesktop/login1");
const QString logindInterface = QStringLiteral("org.freedesktop.login1.Manager");

} // namespace

bool LinuxDesktop::openUrl(const QUrl& url) {
    return QDesktopServices::openUrl(url);
}

void LinuxDesktop::revealFile(const QString& path, std::function<void()> failed) {
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(path).absolutePath());
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (!QDesktopServices::openUrl(folder) && failed)
            failed();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [folder, failed](QDBusPendingCallWatcher* finished) {
                         if (finished->isError() && !QDesktopServices::openUrl(folder) && failed)
                             failed();
                         finished->deleteLater();
                     });
}

void LogindWakeWatcher::start() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || m_connected)
        return;
    m_connected = bus.connect(logindService, logindPath, logindInterface,
                              QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
}

void LogindWakeWatcher::stop() {
    if (!m_connected)
        return;
    QDBusConnection::systemBus().disconnect(logindService, logindPath, logindInterface,
                                            QStringLiteral("PrepareForSleep"), this,
                                            SLOT(prepareForSleep(bool)));
    m_connected = false;
}

void LogindWakeWatcher::prepareForSleep(bool sleeping) {
    if (!sleeping)
        emit didWake();
}

} // namespace kestrel
