// The built application as a user starts it, in a temporary home.
#include "support/AppHarness.h"

#include <QProcess>
#include <QTest>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>

using namespace kestrel::test;

class TestProcess : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;

    QString logPath() const { return m_home.filePath(".local/state/OrvantaPrint.log"); }

    // Elapsed time of the first line of the latest run whose event starts
    // with `prefix`; negative when there is none.
    double eventElapsed(const QString& prefix) const {
        const QList<OwnLine> lines = ownLines(logPath());
        for (const OwnLine& line : lines)
            if (line.launchId == lines.last().launchId && line.event.startsWith(prefix))
                return line.elapsed;
        return -1.0;
    }

    QProcessEnvironment appEnvironment() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const auto& [name, path] : {std::pair{"HOME", ""},
                                         {"XDG_STATE_HOME", ".local/state"},
                                         {"XDG_CONFIG_HOME", ".config"},
                                         {"XDG_DATA_HOME", ".local/share"},
                                         {"XDG_RUNTIME_DIR", "run"}})
            environment.insert(name, m_home.filePath(path));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        return environment;
    }

private slots:
    void initTestCase() { QDir().mkpath(m_home.filePath("run")); }

    // Ready within a second of the start with the bundled agent; SIGTERM and
    // SIGINT each end in the orderly shutdown, once.
    void readyAndStoppedBySignals_data() {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<QString>("until");
        QTest::newRow("SIGTERM when ready") << SIGTERM << "service_ready";
        QTest::newRow("SIGINT at launch") << SIGINT << "legacy_check_end migrated=false";
    }
    void readyAndStoppedBySignals() {
        QFETCH(int, signalNumber);
        QFETCH(QString, until);
        QProcess app;
        app.setProcessEnvironment(appEnvironment());
        const qsizetype before = ownLines(logPath()).size();
        app.start(KESTREL_APP_EXECUTABLE);
        QVERIFY(app.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(ownLines(logPath()).size() > before && eventElapsed(until) >= 0.0,
                                 10000);
        ::kill(pid_t(app.processId()), signalNumber);
        QVERIFY(app.waitForFinished(10000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        QStringList ends;
        for (const OwnLine& line : ownLines(logPath()).mid(before))
            ends << line.event.section(' ', 0, 0);
        QCOMPARE(ends.filter("app_terminate"), QStringList{"app_terminate"});
        QCOMPARE(ends.last(), "app_terminate");
        if (until != "service_ready")
            return;
        const double ready = eventElapsed(until);
        QVERIFY2(ready > 0.0 && ready < 1.0, qPrintable(QString::number(ready)));
        QVERIFY(eventElapsed("health_result http=200 error=none:0 valid=true version=") >= 0.0);
    }

    // Killed outright, the application does not leave its agent behind: the
    // agent gets the SIGTERM it was promised.
    void killedApplicationTakesItsAgentAlong() {
        QCOMPARE(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); // the orphaned agent is ours to reap
        AppHarness harness; // its home and bundle, for a copy of the application
        qputenv("XDG_RUNTIME_DIR", harness.home.path().toUtf8());
        const QString executable = harness.config.bundlePath + "/Contents/MacOS/KestrelAgent";
        QVERIFY(QDir().mkpath(QFileInfo(executable).path()));
        QVERIFY(QFile::copy(KESTREL_APP_EXECUTABLE, executable));
        harness.installAgentScript(
            "trap 'echo term > stopped; exit 0' TERM\n"
            "echo $$ > pid.new; mv pid.new pid\nwhile :; do sleep 0.05; done");
        QProcess app;
        app.setWorkingDirectory(harness.home.path());
        app.start(executable, {});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(harness.home.filePath("pid")), 10000);
        const pid_t pid = fileContents(harness.home.filePath("pid")).trimmed().toInt();
        app.kill();
        QVERIFY(app.waitForFinished());
        const bool gone =
            QTest::qWaitFor([pid] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 10000);
        if (!gone && pid > 0) // do not leave it behind
            ::kill(pid, SIGKILL);
        QVERIFY(gone);
        QCOMPARE(fileContents(harness.home.filePath("stopped")), "term\n");
    }
};

QTEST_MAIN(TestProcess)
#include "tst_process.moc"
