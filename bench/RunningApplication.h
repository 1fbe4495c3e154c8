#pragma once

// The built application started as a process of its own in a temporary home,
// as a user would start it, and read back through its log.

#include "BenchCommon.h"

#include <QEventLoop>
#include <QFileSystemWatcher>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <optional>

namespace kestrel::bench {

class RunningApplication {
public:
    explicit RunningApplication(const QString& executable) {
        QDir home(m_home.path());
        home.mkpath(QStringLiteral(".local/state"));
        home.mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(home.filePath(QStringLiteral("runtime")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                  QFileDevice::ExeOwner);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           home.filePath(QStringLiteral(".config")));
        environment.insert(QStringLiteral("XDG_STATE_HOME"),
                           home.filePath(QStringLiteral(".local/state")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"),
                           home.filePath(QStringLiteral(".local/share")));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"),
                           home.filePath(QStringLiteral("runtime")));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(environment);
        m_process.setProgram(executable);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
    }

    ~RunningApplication() { stop(); }

    QString logPath() const {
        return QDir(m_home.path()).filePath(QStringLiteral(".local/state/OrvantaPrint.log"));
    }

    // Starts the application; the time is taken just before the exec.
    void start() {
        startedAt = monotonicSeconds();
        m_process.start();
        m_process.waitForStarted();
    }

    qint64 pid() const { return m_process.processId(); }

    QByteArray log() const {
        QFile file(logPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The first own log line holding `event`, waited for up to `limitMs`
    // through file change notifications; the time it was seen in `seenAt`.
    std::optional<QString> waitForLine(const QString& event, int limitMs, double* seenAt) {
        QFileSystemWatcher watcher;
        watcher.addPath(QFileInfo(logPath()).absolutePath());
        QEventLoop loop;
        std::optional<QString> found;
        const auto look = [&] {
            if (!watcher.files().contains(logPath()) && QFile::exists(logPath()))
                watcher.addPath(logPath());
            for (const QByteArray& line : log().split('\n')) {
                if (line.contains(" APP ") && line.contains(event.toUtf8())) {
                    found = QString::fromUtf8(line);
                    if (seenAt)
                        *seenAt = monotonicSeconds();
                    loop.quit();
                    return;
                }
            }
        };
        QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, look);
        QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, &loop, look);
        QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
        look();
        if (!found)
            loop.exec();
        return found;
    }

    // The agent's process id from the log, or -1.
    qint64 agentPid() const {
        static const QRegularExpression spawned(QStringLiteral(R"(helper_spawned pid=(\d+))"));
        const auto match = spawned.match(QString::fromUtf8(log()));
        return match.hasMatch() ? match.captured(1).toLongLong() : -1;
    }

    // SIGTERM, as a logout would; waits until the application and its agent
    // are both gone, so the port is free for the next run.
    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        const qint64 agent = agentPid();
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
        for (int i = 0;
             agent > 0 && i < 500 && QFile::exists(QStringLiteral("/proc/%1").arg(agent)); ++i)
            ::usleep(10000);
    }

    double startedAt = 0;

private:
    QTemporaryDir m_home;
    QProcess m_process;
};

// A number after `key=` in a log line.
inline double fieldOf(const QString& line, const QString& key) {
    const QRegularExpression pattern(QRegularExpression::escape(key) +
                                     QStringLiteral(R"(=(\d+\.\d+))"));
    const auto match = pattern.match(line);
    return match.hasMatch() ? match.captured(1).toDouble() : -1.0;
}

} // namespace kestrel::bench
