#include "log/Uptime.h"
#include "support/AppHarness.h"
#include "ui/MainWindow.h"

#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <cerrno>
#include <csignal>
#include <cstring>

using namespace kestrel;
using namespace kestrel::test;

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Index of the first line that contains `text`, or -1.
qsizetype lineWith(const QStringList& lines, const QString& text) {
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].contains(text))
            return i;
    }
    return -1;
}

qsizetype countStartingWith(const QStringList& events, const QString& prefix) {
    return std::count_if(events.cbegin(), events.cend(),
                         [&prefix](const QString& event) { return event.startsWith(prefix); });
}

bool isTwoRandomUuids(const QString& secret) {
    static const QRegularExpression shape(QRegularExpression::anchoredPattern(QStringLiteral(
        "([0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}){2}")));
    return shape.match(secret).hasMatch();
}

// Nothing listens on port 1, so every health poll of a launched controller
// fails at once and the status stays the supervisor's.
void refuseHealthPolls(AppHarness& harness) {
    harness.config.agentBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:1"));
    harness.config.privateAgentUrl = harness.config.agentBaseUrl;
}

} // namespace

class SupervisionTest : public QObject {
    Q_OBJECT

private slots:
    void agentRunsWithOwnSecretAndOutputInLog();
    void exitedAgentStartsAgainAfterOneSecond();
    void killedAgentIsLoggedWithItsSignal();
    void runningAgentIsNotStartedTwice();
    void missingAgentShowsRedStatus_data();
    void missingAgentShowsRedStatus();
    void failedStartShowsTheError();
    void quitLeavesNoExitAndNoRestart_data();
    void quitLeavesNoExitAndNoRestart();
};

void SupervisionTest::agentRunsWithOwnSecretAndOutputInLog() {
    const QByteArray previous = qgetenv("KESTREL_APP_SECRET");
    qputenv("KESTREL_APP_SECRET", "inherited-secret");
    const auto restore = qScopeGuard([&previous] {
        if (previous.isNull())
            qunsetenv("KESTREL_APP_SECRET");
        else
            qputenv("KESTREL_APP_SECRET", previous);
    });

    AppHarness harness;
    const QString record = harness.home.filePath(QStringLiteral("agent-record"));
    harness.installAgentScript("echo \"$$ $KESTREL_APP_SECRET\" > '" + record.toUtf8() +
                               "'\n"
                               "echo 'agent: listening'\n"
                               "echo 'agent: warning' >&2\n"
                               "exit 3");
    AppDelegate& delegate = harness.create();

    const double before = systemUptime();
    delegate.startBundledHelper();
    const double after = systemUptime();
    QCOMPARE(delegate.state().helperAttempt, 1);
    QVERIFY(delegate.state().helperStartedAt);
    QVERIFY(*delegate.state().helperStartedAt >= before &&
            *delegate.state().helperStartedAt <= after);
    QVERIFY(delegate.helperProcess());
    const qint64 pid = delegate.helperProcess()->processId();

    QTRY_VERIFY(harness.logged(QStringLiteral("helper_exit")));
    QCOMPARE(harness.events(), (QStringList{QStringLiteral("helper_launch_begin attempt=1"),
                                            QStringLiteral("helper_spawned pid=%1").arg(pid),
                                            QStringLiteral("helper_exit status=3 reason=1")}));
    QVERIFY(!delegate.helperProcess());

    const QStringList seen = QString::fromUtf8(readAll(record)).trimmed().split(QLatin1Char(' '));
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen[0], QString::number(pid));
    const QString secret = seen[1];
    QVERIFY2(isTwoRandomUuids(secret), qPrintable(secret));

    // The agent's own lines come between the start and the exit, unprefixed.
    const QStringList lines = harness.logLines();
    const qsizetype begin = lineWith(lines, QStringLiteral("helper_launch_begin"));
    const qsizetype exit = lineWith(lines, QStringLiteral("helper_exit"));
    for (const QString& agentLine :
         {QStringLiteral("agent: listening"), QStringLiteral("agent: warning")}) {
        const qsizetype at = lines.indexOf(agentLine);
        QVERIFY2(at > begin && at < exit, qPrintable(lines.join(QLatin1Char('\n'))));
    }
    QVERIFY(!readAll(harness.logPath()).contains(secret.toUtf8()));
}

void SupervisionTest::exitedAgentStartsAgainAfterOneSecond() {
    AppHarness harness;
    const QString record = harness.home.filePath(QStringLiteral("secrets"));
    harness.installAgentScript("echo \"$KESTREL_APP_SECRET\" >> '" + record.toUtf8() + "'\nexit 3");
    AppDelegate& delegate = harness.create();
    delegate.startBundledHelper();
    const double firstStart = *delegate.state().helperStartedAt;

    QTRY_VERIFY_WITH_TIMEOUT(harness.logged(QStringLiteral("helper_launch_begin attempt=2")), 3000);
    const double delay = harness.elapsedOf(QStringLiteral("helper_launch_begin attempt=2")) -
                         harness.elapsedOf(QStringLiteral("helper_exit status=3 reason=1"));
    QVERIFY2(delay >= 0.99 && delay < 1.4, qPrintable(QString::number(delay)));
    QCOMPARE(delegate.state().helperAttempt, 2);
    QVERIFY(*delegate.state().helperStartedAt >= firstStart + 1.0);

    // One secret for the whole run.
    QTRY_COMPARE(readAll(record).count('\n'), 2);
    const QList<QByteArray> secrets = readAll(record).trimmed().split('\n');
    QCOMPARE(secrets[0], secrets[1]);
}

void SupervisionTest::killedAgentIsLoggedWithItsSignal() {
    AppHarness harness;
    harness.installAgentScript("exec sleep 30");
    AppDelegate& delegate = harness.create();
    delegate.startBundledHelper();
    QVERIFY(delegate.helperProcess());
    QCOMPARE(::kill(pid_t(delegate.helperProcess()->processId()), SIGKILL), 0);

    QTRY_VERIFY(harness.logged(QStringLiteral("helper_exit")));
    QCOMPARE(harness.events().last(), QStringLiteral("helper_exit status=9 reason=2"));
    QVERIFY(!delegate.helperProcess());
}

void SupervisionTest::runningAgentIsNotStartedTwice() {
    AppHarness harness;
    harness.installAgentScript("exec sleep 30");
    AppDelegate& delegate = harness.create();
    delegate.startBundledHelper();
    QProcess* const first = delegate.helperProcess();
    QVERIFY(first);
    const QStringList before = harness.events();

    delegate.startBundledHelper();
    delegate.startBundledHelper();
    QCOMPARE(harness.events(), before);
    QCOMPARE(delegate.state().helperAttempt, 1);
    QCOMPARE(delegate.helperProcess(), first);
    QCOMPARE(first->state(), QProcess::Running);
}

void SupervisionTest::missingAgentShowsRedStatus_data() {
    QTest::addColumn<QString>("bundleAgent");
    QTest::newRow("missing") << "missing";
    QTest::newRow("not executable") << "plain file";
    QTest::newRow("folder") << "folder";
}

void SupervisionTest::missingAgentShowsRedStatus() {
    QFETCH(QString, bundleAgent);
    AppHarness harness;
    refuseHealthPolls(harness);
    if (bundleAgent == QLatin1String("plain file")) {
        harness.installAgentScript("exit 0");
        QVERIFY(QFile::setPermissions(harness.agentPath(), QFile::ReadOwner | QFile::WriteOwner));
    } else if (bundleAgent == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(harness.agentPath()));
    }
    AppDelegate& delegate = harness.launch();

    QTRY_VERIFY(harness.logged(QStringLiteral("helper_missing")));
    QCOMPARE(delegate.window()->statusTitle()->text(), QStringLiteral("Служба печати отсутствует"));
    QCOMPARE(delegate.window()->statusDetails()->text(),
             QStringLiteral("Переустановите приложение из исходного DMG."));
    QCOMPARE(delegate.state().statusColor, StatusColor::Red);
    QVERIFY(!delegate.state().isAgentReady);
    QCOMPARE(delegate.state().helperAttempt, 0);
    QCOMPARE(countStartingWith(harness.events(), QStringLiteral("helper_launch_begin")), 0);
}

void SupervisionTest::failedStartShowsTheError() {
    AppHarness harness;
    refuseHealthPolls(harness);
    // Executable, but exec() fails: its interpreter does not exist.
    harness.installAgentScript("");
    {
        QFile agent(harness.agentPath());
        QVERIFY(agent.open(QIODevice::WriteOnly | QIODevice::Truncate));
        agent.write("#!/nonexistent/interpreter\n");
    }

    AppDelegate& delegate = harness.launch();
    QTRY_VERIFY(harness.logged(QStringLiteral("helper_launch_failed")));
    const QStringList events = harness.events();
    const qsizetype failed =
        events.indexOf(QStringLiteral("helper_launch_failed domain=QProcess code=0"));
    QVERIFY2(failed > 0, qPrintable(events.join(QLatin1Char('\n'))));
    QCOMPARE(events[failed - 1], QStringLiteral("helper_launch_begin attempt=1"));
    QCOMPARE(delegate.window()->statusTitle()->text(),
             QStringLiteral("Не удалось запустить службу"));
    // The platform's description of the cause, whatever words Qt puts before it.
    const QString details = delegate.window()->statusDetails()->text();
    QVERIFY2(details.endsWith(QString::fromLocal8Bit(std::strerror(ENOENT))), qPrintable(details));
    QCOMPARE(delegate.state().statusColor, StatusColor::Red);
    QVERIFY(!delegate.helperProcess());
}

void SupervisionTest::quitLeavesNoExitAndNoRestart_data() {
    QTest::addColumn<bool>("agentStillRuns");
    QTest::newRow("agent running") << true;
    QTest::newRow("restart pending") << false;
}

void SupervisionTest::quitLeavesNoExitAndNoRestart() {
    QFETCH(bool, agentStillRuns);
    AppHarness harness;
    const QString stopped = harness.home.filePath(QStringLiteral("stopped"));
    const QString ready = harness.home.filePath(QStringLiteral("ready"));
    if (agentStillRuns)
        harness.installAgentScript("trap 'echo term > \"" + stopped.toUtf8() +
                                   "\"; exit 0' TERM\ntouch '" + ready.toUtf8() +
                                   "'\nwhile :; do sleep 0.05; done");
    else
        harness.installAgentScript("exit 3");
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
    QCOMPARE(delegate.state().helperAttempt, 1);
    QVERIFY(!delegate.helperProcess());
}

QTEST_MAIN(SupervisionTest)
#include "tst_supervision.moc"
