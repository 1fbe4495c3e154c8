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

private slots:
    // Ready within a second of the start with the bundled agent; SIGTERM and
    // SIGINT each end in the orderly shutdown, once.
    void readyAndStoppedBySignals() {
        for (const auto& [signalNumber, until] :
             {std::pair{SIGTERM, "service_ready"}, {SIGINT, "legacy_check_end migrated=false"}}) {
            AppHarness harness; // a home of its own for the built application
            qputenv("XDG_RUNTIME_DIR", harness.home.path().toUtf8());
            QProcess app;
            app.start(KESTREL_APP_EXECUTABLE);
            QTRY_VERIFY_WITH_TIMEOUT(harness.logged(until), 10000);
            ::kill(pid_t(app.processId()), signalNumber);
            QVERIFY(app.waitForFinished(10000) && app.exitStatus() == QProcess::NormalExit);
            QCOMPARE(app.exitCode(), 0);
            // Written once, as the last line.
            QCOMPARE(harness.events().indexOf("app_terminate"), harness.events().size() - 1);
            if (signalNumber != SIGTERM)
                continue;
            const double ready = harness.elapsedOf(until);
            QVERIFY2(ready > 0.0 && ready < 1.0, qPrintable(QString::number(ready)));
            QVERIFY(harness.logged("health_result http=200 error=none:0 valid=true version="));
        }
    }

    // Killed outright, the application does not leave its agent behind: the
    // agent gets the SIGTERM it was promised.
    void killedApplicationTakesItsAgentAlong() {
        QCOMPARE(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); // the orphaned agent is ours to reap
        AppHarness harness; // its home and bundle, for a copy of the application
        qputenv("XDG_RUNTIME_DIR", harness.home.path().toUtf8());
        const QString executable = harness.config.bundlePath + "/Contents/MacOS/KestrelAgent";
        writeFile(executable, fileContents(KESTREL_APP_EXECUTABLE), true);
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
