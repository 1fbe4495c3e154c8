#include "DiagnosticLog.h"

#include "LogLine.h"
#include "Uptime.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <unistd.h>

namespace kestrel {

DiagnosticLog::DiagnosticLog(QString path, QString launchId, double launchUptime)
    : m_path(std::move(path)), m_launchId(std::move(launchId)), m_launchUptime(launchUptime) {}

void DiagnosticLog::ensureLogFile() const {
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    if (!QFileInfo::exists(m_path)) {
        QFile file(m_path);
        file.open(QIODevice::WriteOnly | QIODevice::Append);
    }
}

void DiagnosticLog::write(const QString& event) const {
    ensureLogFile();
    const QByteArray path = QFile::encodeName(m_path);
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    const QByteArray line = formatLogLine(QDateTime::currentDateTimeUtc(), m_launchId,
                                          systemUptime() - m_launchUptime, event)
                                .toUtf8();
    // One write per line keeps lines whole next to the agent's appends.
    [[maybe_unused]] const ssize_t written = ::write(fd, line.constData(), line.size());
    ::close(fd);
}

QString defaultLogFilePath() {
#ifdef Q_OS_MACOS
    return QDir::homePath() + QStringLiteral("/Library/Logs/OrvantaPrint.log");
#else
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/OrvantaPrint.log");
#endif
}

} // namespace kestrel
