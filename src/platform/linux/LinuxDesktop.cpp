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

void LinuxDesktop::openUrl(const QUrl& url) {
    QDesktopServices::openUrl(url);
}

void LinuxDesktop::revealFile(const QString& path) {
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(path).absolutePath());
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QDesktopServices::openUrl(folder);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [folder](QDBusPendingCallWatcher* finished) {
                         if (finished->isError())
                             QDesktopServices::openUrl(folder);
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
