// Runs the built application on a temporary bundle whose agent is a script,
// and ends it the two ways the system can: SIGKILL and SIGTERM.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <csignal>

using namespace Qt::StringLiterals;

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeExecutable(const QString& path, const QByteArray& contents) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) < 0)
        return false;
    file.close();
    return file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// A process that has ended but was not reaped yet is gone as well: an orphan
// waits for whatever adopted it.
bool processGone(qint64 pid) {
    if (::kill(pid_t(pid), 0) != 0)
        return errno == ESRCH;
    const QByteArray stat = readAll(u"/proc/%1/stat"_s.arg(pid));
    const qsizetype afterName = stat.lastIndexOf(')');
    return afterName > 0 && stat.mid(afterName + 2, 1) == "Z";
}

// A temporary home and bundle holding a copy of the application and a
// script agent that records its pid and marks a SIGTERM.
class InstalledApplication {
public:
    bool install() {
        if (!root.isValid())
            return false;
        const QDir bundle(root.filePath(u"KestrelAgent.app"_s));
        if (!QDir().mkpath(bundle.filePath(u"Contents/MacOS"_s)) ||
            !QDir().mkpath(bundle.filePath(u"Contents/Resources/PrintService"_s)) ||
            !QDir().mkpath(root.filePath(u"home"_s)) || !QDir().mkpath(root.filePath(u"run"_s)))
            return false;
        QFile::setPermissions(root.filePath(u"run"_s),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        executable = bundle.filePath(u"Contents/MacOS/KestrelAgent"_s);
        if (!QFile::copy(QStringLiteral(KESTREL_APP_EXECUTABLE), executable))
            return false;
        const QByteArray agent = "#!/bin/sh\ntrap 'echo term > \"" + stopped().toUtf8() +
                                 "\"; exit 0' TERM\necho $$ > '" + pidFile().toUtf8() +
                                 ".new'\nmv '" + pidFile().toUtf8() + ".new' '" +
                                 pidFile().toUtf8() + "'\nwhile :; do sleep 0.05; done\n";
        return writeExecutable(
            bundle.filePath(u"Contents/Resources/PrintService/orvanta-print-agent"_s), agent);
    }

    void start() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const QString home = root.filePath(u"home"_s);
        environment.insert(u"HOME"_s, home);
        environment.insert(u"XDG_CONFIG_HOME"_s, home + u"/.config"_s);
        environment.insert(u"XDG_STATE_HOME"_s, home + u"/.local/state"_s);
        environment.insert(u"XDG_DATA_HOME"_s, home + u"/.local/share"_s);
        environment.insert(u"XDG_RUNTIME_DIR"_s, root.filePath(u"run"_s));
        environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        environment.remove(u"KESTREL_APP_SECRET"_s);
        application.setProcessEnvironment(environment);
        application.setProcessChannelMode(QProcess::ForwardedChannels);
        application.start(executable, {});
    }

    QString pidFile() const { return root.filePath(u"agent.pid"_s); }
    QString stopped() const { return root.filePath(u"stopped"_s); }
    QString logPath() const { return root.filePath(u"home/.local/state/OrvantaPrint.log"_s); }

    // The event texts of the application's own log lines.
    QStringList events() const {
        static const QRegularExpression own(
            uR"(^\S+ APP launch=[0-9A-F-]{36} elapsed_s=\d+\.\d{3} (.*)$)"_s);
        QStringList result;
        for (const QString& line : QString::fromUtf8(readAll(logPath())).split(u'\n')) {
            const auto match = own.match(line);
            if (match.hasMatch())
                result.append(match.captured(1));
        }
        return result;
    }

    QTemporaryDir root;
    QString executable;
    QProcess application;
};

} // namespace

class ApplicationTest : public QObject {
    Q_OBJECT

private slots:
    void killedApplicationTakesItsAgentAlong() {
        InstalledApplication installed;
        QVERIFY(installed.install());
        installed.start();
        QVERIFY(installed.application.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(!readAll(installed.pidFile()).isEmpty(), 10000);
        const qint64 agent = readAll(installed.pidFile()).trimmed().toLongLong();
        // A failing run must not leave the agent behind.
        const auto cleanup = qScopeGuard([agent] {
            if (agent > 0 && !processGone(agent))
                ::kill(pid_t(agent), SIGKILL);
        });
        QVERIFY(agent > 0 && !processGone(agent));

        installed.application.kill();
        QVERIFY(installed.application.waitForFinished());
        QTRY_VERIFY_WITH_TIMEOUT(processGone(agent), 1000);
        // Stopped by the SIGTERM it was promised, not killed outright.
        QTRY_COMPARE(readAll(installed.stopped()), QByteArray("term\n"));
    }

    void terminatedApplicationStopsItsAgentQuietly() {
        InstalledApplication installed;
        QVERIFY(installed.install());
        installed.start();
        QVERIFY(installed.application.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(!readAll(installed.pidFile()).isEmpty(), 10000);
        const qint64 agent = readAll(installed.pidFile()).trimmed().toLongLong();
        // A failing run must not leave the agent behind.
        const auto cleanup = qScopeGuard([agent] {
            if (agent > 0 && !processGone(agent))
                ::kill(pid_t(agent), SIGKILL);
        });

        installed.application.terminate();
        QVERIFY(installed.application.waitForFinished());
        QCOMPARE(installed.application.exitStatus(), QProcess::NormalExit);
        // A destroyed QProcess would have sent SIGKILL before the agent's trap ran.
        QTRY_COMPARE(readAll(installed.stopped()), QByteArray("term\n"));
        QTRY_VERIFY(processGone(agent));

        const QStringList events = installed.events();
        QVERIFY2(!events.isEmpty() && events.last() == u"app_terminate"_s,
                 qPrintable(events.join(u'\n')));
        QVERIFY(events.filter(u"helper_exit"_s).isEmpty());
        QCOMPARE(events.filter(u"helper_launch_begin"_s).size(), 1);
    }
};

QTEST_GUILESS_MAIN(ApplicationTest)
#include "tst_application.moc"
