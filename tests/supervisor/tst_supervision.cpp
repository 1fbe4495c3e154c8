#include "log/Uptime.h"
#include "support/AppHarness.h"
#include "ui/MainWindow.h"

#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <cerrno>
#include <cstring>

using namespace kestrel;
using namespace kestrel::test;

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qsizetype countStartingWith(const QStringList& events, const QString& prefix) {
    return std::count_if(events.cbegin(), events.cend(),
                         [&prefix](const QString& event) { return event.startsWith(prefix); });
}

// Nothing listens on port 1: every health poll of a launched controller fails
// at once, so the status shown is the supervisor's.
AppDelegate& launchWithoutHealthyAgent(AppHarness& harness) {
    harness.config.agentBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:1"));
    harness.config.privateAgentUrl = harness.config.agentBaseUrl;
    return harness.launch();
}

} // namespace

class SupervisionTest : public QObject {
    Q_OBJECT

private slots:
    void agentRunsWithOwnSecretAndOutputInLog() {
        const QByteArray inherited = qgetenv("KESTREL_APP_SECRET");
        qputenv("KESTREL_APP_SECRET", "inherited-secret");
        const auto restore = qScopeGuard([&inherited] {
            inherited.isNull() ? qunsetenv("KESTREL_APP_SECRET")
                               : qputenv("KESTREL_APP_SECRET", inherited);
        });
        AppHarness harness;
        const QString record = harness.home.filePath(QStringLiteral("record"));
        harness.installAgentScript("echo \"$$ $KESTREL_APP_SECRET\" > '" + record.toUtf8() +
                                   "'\necho 'agent: out'\necho 'agent: err' >&2\nexit 0");
        AppDelegate& delegate = harness.create();

        const double before = systemUptime();
        delegate.startBundledHelper();
        QVERIFY(delegate.state().helperStartedAt >= before);
        QVERIFY(delegate.state().helperStartedAt <= systemUptime());
        QVERIFY(delegate.helperProcess());
        const QString pid = QString::number(delegate.helperProcess()->processId());

        QTRY_VERIFY(harness.logged(QStringLiteral("helper_exit")));
        const QStringList seen = QString::fromUtf8(readAll(record)).trimmed().split(u' ');
        QCOMPARE(seen.value(0), pid);
        static const QRegularExpression twoUuids(QRegularExpression::anchoredPattern(QStringLiteral(
            "([0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}){2}")));
        QVERIFY2(twoUuids.match(seen.value(1)).hasMatch(), qPrintable(seen.value(1)));

        // The agent's lines, unprefixed, between the application's start and exit lines.
        const QStringList lines = harness.logLines();
        QCOMPARE(lines.size(), 5);
        QVERIFY(lines[0].endsWith(QStringLiteral(" helper_launch_begin attempt=1")));
        QVERIFY(lines.indexOf(QStringLiteral("agent: out")) > 0);
        QVERIFY(lines.indexOf(QStringLiteral("agent: err")) > 0);
        QVERIFY(lines.filter(QStringLiteral(" helper_spawned pid=") + pid).size() == 1);
        QVERIFY(lines[4].endsWith(QStringLiteral(" helper_exit status=0 reason=1")));
        QVERIFY(!readAll(harness.logPath()).contains(seen.value(1).toUtf8()));
    }

    void endedAgentIsLoggedAndStartedAgainAfterOneSecond_data() {
        QTest::addColumn<QByteArray>("ending");
        QTest::addColumn<QString>("exitEvent");
        QTest::newRow("exit 3") << QByteArray("exit 3") << "helper_exit status=3 reason=1";
        QTest::newRow("SIGKILL") << QByteArray("kill -KILL $$") << "helper_exit status=9 reason=2";
    }

    void endedAgentIsLoggedAndStartedAgainAfterOneSecond() {
        QFETCH(QByteArray, ending);
        QFETCH(QString, exitEvent);
        AppHarness harness;
        const QString record = harness.home.filePath(QStringLiteral("secrets"));
        harness.installAgentScript("echo \"$KESTREL_APP_SECRET\" >> '" + record.toUtf8() + "'\n" +
                                   ending);
        AppDelegate& delegate = harness.create();
        delegate.startBundledHelper();

        QTRY_VERIFY_WITH_TIMEOUT(harness.logged(QStringLiteral("helper_launch_begin attempt=2")),
                                 3000);
        const QStringList events = harness.events();
        QCOMPARE(events.mid(0, 4),
                 (QStringList{QStringLiteral("helper_launch_begin attempt=1"), events[1], exitEvent,
                              QStringLiteral("helper_launch_begin attempt=2")}));
        QVERIFY(events[1].startsWith(QStringLiteral("helper_spawned pid=")));
        const double delay = harness.elapsedOf(QStringLiteral("helper_launch_begin attempt=2")) -
                             harness.elapsedOf(exitEvent);
        QVERIFY2(delay >= 0.99 && delay < 1.4, qPrintable(QString::number(delay)));
        // One secret for the whole run.
        QTRY_COMPARE(readAll(record).count('\n'), 2);
        const QList<QByteArray> secrets = readAll(record).split('\n');
        QCOMPARE(secrets[0], secrets[1]);
    }

    void runningAgentIsNotStartedTwice() {
        AppHarness harness;
        harness.installAgentScript("exec sleep 30");
        AppDelegate& delegate = harness.create();
        delegate.startBundledHelper();
        QProcess* const first = delegate.helperProcess();
        QVERIFY(first);
        const QStringList before = harness.events();

        delegate.startBundledHelper();
        QCOMPARE(harness.events(), before);
        QCOMPARE(delegate.state().helperAttempt, 1);
        QCOMPARE(delegate.helperProcess(), first);
        QCOMPARE(first->state(), QProcess::Running);
    }

    void missingAgentShowsRedStatus_data() {
        QTest::addColumn<QString>("agent");
        QTest::newRow("missing") << "missing";
        QTest::newRow("not executable") << "plain file";
        QTest::newRow("folder") << "folder";
    }

    void missingAgentShowsRedStatus() {
        QFETCH(QString, agent);
        AppHarness harness;
        if (agent == QLatin1String("plain file")) {
            harness.installAgentScript("exit 0");
            QVERIFY(
                QFile::setPermissions(harness.agentPath(), QFile::ReadOwner | QFile::WriteOwner));
        } else if (agent == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(harness.agentPath()));
        }
        AppDelegate& delegate = launchWithoutHealthyAgent(harness);

        QTRY_VERIFY(harness.logged(QStringLiteral("helper_missing")));
        QCOMPARE(delegate.window()->statusTitle()->text(),
                 QStringLiteral("Служба печати отсутствует"));
        QCOMPARE(delegate.window()->statusDetails()->text(),
                 QStringLiteral("Переустановите приложение из исходного DMG."));
        QCOMPARE(delegate.state().statusColor, StatusColor::Red);
        QCOMPARE(delegate.state().helperAttempt, 0);
        QCOMPARE(countStartingWith(harness.events(), QStringLiteral("helper_launch_begin")), 0);
    }

    void failedStartShowsTheError() {
        AppHarness harness;
        // Executable, but exec() fails: its interpreter does not exist.
        harness.installAgentScript("");
        QFile agent(harness.agentPath());
        QVERIFY(agent.open(QIODevice::WriteOnly | QIODevice::Truncate));
        agent.write("#!/nonexistent/interpreter\n");
        agent.close();
        AppDelegate& delegate = launchWithoutHealthyAgent(harness);

        QTRY_VERIFY(harness.logged(QStringLiteral("helper_launch_failed")));
        const QStringList events = harness.events();
        const qsizetype failed =
            events.indexOf(QStringLiteral("helper_launch_failed domain=QProcess code=0"));
        QVERIFY2(failed > 0, qPrintable(events.join(u'\n')));
        QCOMPARE(events[failed - 1], QStringLiteral("helper_launch_begin attempt=1"));
        QCOMPARE(delegate.window()->statusTitle()->text(),
                 QStringLiteral("Не удалось запустить службу"));
        // The platform's words for the cause, after whatever Qt puts before them.
        const QString details = delegate.window()->statusDetails()->text();
        QVERIFY2(details.endsWith(QString::fromLocal8Bit(std::strerror(ENOENT))),
                 qPrintable(details));
        QCOMPARE(delegate.state().statusColor, StatusColor::Red);
        QVERIFY(!delegate.helperProcess());
    }

    void quitLeavesNoExitAndNoRestart_data() {
        QTest::addColumn<bool>("agentStillRuns");
        QTest::newRow("agent running") << true;
        QTest::newRow("restart pending") << false;
    }

    void quitLeavesNoExitAndNoRestart() {
        QFETCH(bool, agentStillRuns);
        AppHarness harness;
        const QString stopped = harness.home.filePath(QStringLiteral("stopped"));
        const QString ready = harness.home.filePath(QStringLiteral("ready"));
        harness.installAgentScript(agentStillRuns
                                       ? "trap 'echo term > \"" + stopped.toUtf8() +
                                             "\"; exit 0' TERM\ntouch '" + ready.toUtf8() +
                                             "'\nwhile :; do sleep 0.05; done"
                                       : QByteArray("exit 3"));
        AppDelegate& delegate = harness.create();
        delegate.startBundledHelper();
        if (agentStillRuns)
            QTRY_VERIFY(QFile::exists(ready));
        else
            QTRY_VERIFY(harness.logged(QStringLiteral("helper_exit status=3 reason=1")));

        delegate.applicationWillTerminate();
        if (agentStillRuns)
            QTRY_COMPARE(readAll(stopped), QByteArray("term\n"));
        // Longer than the restart delay: whatever was going to happen has happened.
        QTest::qWait(1300);

        const QStringList events = harness.events();
        QCOMPARE(events.last(), QStringLiteral("app_terminate"));
        QCOMPARE(countStartingWith(events, QStringLiteral("helper_launch_begin")), 1);
        QCOMPARE(countStartingWith(events, QStringLiteral("helper_exit")), agentStillRuns ? 0 : 1);
    }
};

QTEST_MAIN(SupervisionTest)
#include "tst_supervision.moc"
