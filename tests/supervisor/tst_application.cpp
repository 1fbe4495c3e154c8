// The built application, killed outright, does not leave its agent behind.
#include "support/AppHarness.h"

#include <QProcess>
#include <QTest>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>

class ApplicationTest : public QObject {
    Q_OBJECT

private slots:
    void killedApplicationTakesItsAgentAlong() {
        QCOMPARE(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); // the orphaned agent is ours to reap
        kestrel::test::AppHarness harness; // its home and bundle, for a copy of the application
        qputenv("XDG_RUNTIME_DIR", harness.home.path().toUtf8());
        const QString executable = harness.config.bundlePath + "/Contents/MacOS/KestrelAgent";
        QVERIFY(QDir().mkpath(QFileInfo(executable).path()));
        QVERIFY(QFile::copy(KESTREL_APP_EXECUTABLE, executable));
        harness.installAgentScript(
            "trap 'echo term > stopped; exit 0' TERM\n"
            "echo $$ > pid.new; mv pid.new pid\nwhile :; do sleep 0.05; done");
        QFile pidFile(harness.home.filePath("pid")), stopped(harness.home.filePath("stopped"));

        QProcess app;
        app.setWorkingDirectory(harness.home.path());
        app.start(executable, {});
        QTRY_VERIFY_WITH_TIMEOUT(pidFile.exists(), 10000);
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const pid_t pid = pidFile.readAll().trimmed().toInt();
        app.kill();
        QVERIFY(app.waitForFinished());
        const bool gone =
            QTest::qWaitFor([pid] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 10000);
        if (!gone && pid > 0) // do not leave it behind
            ::kill(pid, SIGKILL);
        QVERIFY(gone);
        // Stopped by the SIGTERM it was promised, not killed outright.
        QVERIFY(stopped.open(QIODevice::ReadOnly));
        QCOMPARE(stopped.readAll(), "term\n");
    }
};

QTEST_GUILESS_MAIN(ApplicationTest)
#include "tst_application.moc"
