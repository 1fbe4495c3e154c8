// The controller supervising a script agent in a temporary bundle.
#include "supervisor/AppSecret.h"
#include "support/AppHarness.h"

#include <QPointer>
#include <QProcess>
#include <QTest>

using namespace kestrel;
using namespace kestrel::test;

class SupervisionTest : public QObject {
    Q_OBJECT

private slots:
    // Every agent must see the application's own secret instead.
    void initTestCase() { qputenv("KESTREL_APP_SECRET", "inherited"); }

    // A failed poll during the restart delay starts the agent at once; when
    // that one ends too, the restart still comes one second after the latest
    // exit, and only one: restarts must not multiply for an agent that keeps
    // crashing, nor follow every quick poll.
    void agentGetsTheSecretLogsItsOutputAndIsRestartedASecondLater_data() {
        QTest::addColumn<QByteArray>("ending");
        QTest::addColumn<QString>("exitEvent");
        QTest::newRow("exit 3") << QByteArray("exit 3") << "helper_exit status=3 reason=1";
        QTest::newRow("SIGKILL") << QByteArray("kill -KILL $$") << "helper_exit status=9 reason=2";
    }

    void agentGetsTheSecretLogsItsOutputAndIsRestartedASecondLater() {
        QFETCH(QByteArray, ending);
        QFETCH(QString, exitEvent);
        AppHarness harness;
        const QString seen = harness.home.filePath("seen");
        harness.installAgentScript("echo \"$KESTREL_APP_SECRET\" >> '" + seen.toUtf8() +
                                   "'\necho 'agent: out'\necho 'agent: err' >&2\n" + ending);
        harness.config.agentBaseUrl = harness.config.privateAgentUrl = QUrl("http://127.0.0.1:1");
        AppDelegate& delegate = harness.create();
        delegate.startBundledHelper();
        QTRY_VERIFY(harness.logged(exitEvent));
        QTest::qWait(400); // into the restart delay
        delegate.refreshStatus();
        QTRY_VERIFY_WITH_TIMEOUT(harness.events().filter(exitEvent).size() == 4, 10000);
        // Nothing kept by a restart: the ended agents' process objects are gone.
        QCOMPARE_LE(delegate.findChildren<QProcess*>().size(), 1);

        const QStringList events = harness.events().filter(QRegularExpression("^helper_"));
        QCOMPARE(events.mid(0, 4), QStringList({"helper_launch_begin attempt=1", events[1],
                                                exitEvent, "helper_launch_begin attempt=2"}));
        const auto began = [&](int attempt) {
            return harness.elapsedOf("helper_launch_begin attempt=" + QString::number(attempt));
        };
        // Late on a busy machine, but not as late as a doubled delay.
        for (int attempt : {3, 4}) {
            QCOMPARE_GE(began(attempt) - began(attempt - 1), 0.99);
            QCOMPARE_LT(began(attempt) - began(attempt - 1), 1.9);
        }
        // The agent's own lines, as written, between the application's.
        QCOMPARE(harness.logLines().filter(QRegularExpression("^agent: ")).size(), 8);

        // One secret for the whole run: two upper-case UUIDs, never logged.
        const QRegularExpressionMatch secret = QRegularExpression(R"(^([0-9A-F-]{72})\n(\1\n){3}$)")
                                                   .match(QString::fromUtf8(fileContents(seen)));
        QVERIFY(secret.hasMatch());
        QVERIFY(makeAppSecret() != makeAppSecret()); // fresh for every launch
        QVERIFY(!fileContents(harness.logPath()).contains(secret.captured(1).toUtf8()));

        // A quit while the restart is pending cancels it.
        delegate.applicationWillTerminate();
        QTest::qWait(1300);
        QVERIFY(!harness.logged("helper_launch_begin attempt=5"));
    }

    void agentThatCannotRunShowsRed_data() {
        QTest::addColumn<QString>("setUp"); // of the agent at $0
        QTest::addColumn<bool>("started");
        QTest::newRow("not executable") << R"(echo 'exit 0' >"$0")" << false;
        QTest::newRow("exec fails") << R"(echo '#!/nonexistent' >"$0"; chmod +x "$0")" << true;
    }

    void agentThatCannotRunShowsRed() {
        QFETCH(QString, setUp);
        QFETCH(bool, started);
        AppHarness harness;
        QCOMPARE(QProcess::execute("/bin/sh", {"-c", setUp, harness.agentPath()}), 0);
        // Nothing answers there, so the status shown is the supervisor's.
        harness.config.agentBaseUrl = harness.config.privateAgentUrl = QUrl("http://127.0.0.1:1");
        AppDelegate& delegate = harness.launch();
        QTRY_VERIFY(harness.logged(started ? "helper_launch_failed domain=QProcess code=0"
                                           : "helper_missing"));
        QCOMPARE(delegate.window()->statusTitle()->text(),
                 started ? "Не удалось запустить службу" : "Служба печати отсутствует");
        // The system's reason in Russian, without the name of the failed call.
        QCOMPARE(delegate.window()->statusDetails()->text(),
                 started ? "Нет такого файла или папки" : "Переустановите пакет kestrel-agent.");
        QCOMPARE(delegate.state().statusColor, StatusColor::Red);
    }

    void quitStopsTheAgentWithoutWaitingAndLeavesNoExitOrRestart() {
        // The controller is kept, then destroyed right after quitting.
        for (const bool destroyed : {false, true}) {
            AppHarness harness;
            const QString stopped = harness.home.filePath("stopped");
            // Slow to stop after SIGTERM; a SIGKILL leaves no mark.
            harness.installAgentScript(
                "trap 'sleep 0.3; echo term > \"" + stopped.toUtf8() +
                "\"; exit 0' TERM\necho ready\nwhile :; do sleep 0.05; done");
            AppDelegate& delegate = harness.create();
            delegate.startBundledHelper();
            delegate.startBundledHelper(); // not a second agent while one runs
            QTRY_VERIFY(harness.logLines().contains("ready"));
            // Nothing the controller connected hears of the agent it let go.
            const QPointer<QProcess> agent = delegate.helperProcess();
            int heard = 0;
            connect(agent, &QProcess::finished, this, [&heard] { ++heard; });

            delegate.applicationWillTerminate();
            if (destroyed)
                harness.delegate.reset();
            QVERIFY(fileContents(stopped).isEmpty()); // neither waits for the agent to stop
            QTRY_COMPARE(fileContents(stopped), QByteArray("term\n"));
            QTRY_VERIFY(agent.isNull()); // its exit has been handled
            QCOMPARE(heard, 0);
            QTest::qWait(1300); // past the restart delay: nothing may follow
            QCOMPARE(harness.events().filter(QRegularExpression("^helper_(launch_begin|exit)")),
                     QStringList({"helper_launch_begin attempt=1"}));
        }
    }
};

QTEST_MAIN(SupervisionTest)
#include "tst_supervision.moc"
