#include "supervisor/AgentProcess.h"
#include "supervisor/AppSecret.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <memory>

using namespace kestrel;

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& contents, QFile::Permissions permissions) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(contents);
    file.close();
    QVERIFY(file.setPermissions(permissions));
}

constexpr QFile::Permissions executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

// A shell script standing in for the agent.
QString writeScript(const QTemporaryDir& dir, const QByteArray& body) {
    const QString path = dir.filePath(QStringLiteral("agent.sh"));
    writeFile(path, "#!/bin/sh\n" + body, executable);
    return path;
}

QProcess* spawned(const std::variant<QProcess*, LaunchError>& result) {
    if (const auto* error = std::get_if<LaunchError>(&result))
        qWarning("start failed: %s", qPrintable(error->description));
    return std::holds_alternative<QProcess*>(result) ? std::get<QProcess*>(result) : nullptr;
}

} // namespace

class AgentProcessTest : public QObject {
    Q_OBJECT

private slots:
    void executablePathInsideBundle_data();
    void executablePathInsideBundle();
    void onlyExecutableRegularFilesCount();
    void appSecretIsTwoRandomUuids();
    void agentGetsEnvironmentAndAppendsOutput();
    void exitIsReportedAsStatusAndReason_data();
    void exitIsReportedAsStatusAndReason();
    void unwritableOutputLeavesAgentRunning();
    void failedStartIsAnErrorValue();
    void detachTerminatesWithoutWaitingOrReporting();
};

void AgentProcessTest::executablePathInsideBundle_data() {
    QTest::addColumn<QString>("bundle");
    QTest::addColumn<QString>("expected");
    const QString agent = QStringLiteral("/Applications/KestrelAgent.app/Contents/Resources/"
                                         "PrintService/orvanta-print-agent");
    QTest::newRow("plain") << "/Applications/KestrelAgent.app" << agent;
    QTest::newRow("trailing slash") << "/Applications/KestrelAgent.app/" << agent;
}

void AgentProcessTest::executablePathInsideBundle() {
    QFETCH(QString, bundle);
    QFETCH(QString, expected);
    QCOMPARE(agentExecutablePath(bundle), expected);
}

void AgentProcessTest::onlyExecutableRegularFilesCount() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString runnable = dir.filePath(QStringLiteral("runnable"));
    const QString plain = dir.filePath(QStringLiteral("plain"));
    const QString folder = dir.filePath(QStringLiteral("folder"));
    const QString link = dir.filePath(QStringLiteral("link"));
    writeFile(runnable, "#!/bin/sh\n", executable);
    writeFile(plain, "#!/bin/sh\n", QFile::ReadOwner | QFile::WriteOwner);
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    QVERIFY(QFile::link(runnable, link));

    QVERIFY(isExecutableFile(runnable));
    QVERIFY(isExecutableFile(link));
    // Root passes every read and write check, but not an execute check on a
    // file without any execute bit.
    QVERIFY(!isExecutableFile(plain));
    QVERIFY(!isExecutableFile(folder));
    QVERIFY(!isExecutableFile(dir.filePath(QStringLiteral("missing"))));
}

void AgentProcessTest::appSecretIsTwoRandomUuids() {
    // Version 4 with the RFC 4122 variant: the halves are random UUIDs.
    static const QRegularExpression randomUuid(QRegularExpression::anchoredPattern(
        QStringLiteral("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
    QSet<QString> seen;
    for (int i = 0; i < 50; ++i) {
        const QString secret = makeAppSecret();
        QCOMPARE(secret.size(), 72);
        QVERIFY2(randomUuid.match(secret.left(36)).hasMatch(), qPrintable(secret));
        QVERIFY2(randomUuid.match(secret.right(36)).hasMatch(), qPrintable(secret));
        QVERIFY(secret.left(36) != secret.right(36));
        seen.insert(secret);
    }
    QCOMPARE(seen.size(), 50);
}

void AgentProcessTest::agentGetsEnvironmentAndAppendsOutput() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString record = dir.filePath(QStringLiteral("env"));
    const QString output = dir.filePath(QStringLiteral("out.log"));
    writeFile(output, "earlier line\n", QFile::ReadOwner | QFile::WriteOwner);
    const QString script =
        writeScript(dir, "env > '" + record.toUtf8() + "'\necho \"args=$#\"\necho agent-err >&2\n");

    QProcessEnvironment inherited;
    inherited.insert(QStringLiteral("KESTREL_APP_SECRET"), QStringLiteral("inherited"));
    inherited.insert(QStringLiteral("KESTREL_TEST_MARK"), QStringLiteral("kept as is"));
    inherited.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));

    QObject parent;
    QProcess* process = spawned(
        spawnAgent({script, agentEnvironment(inherited, QStringLiteral("own")), output}, &parent));
    QVERIFY(process);
    QCOMPARE(process->state(), QProcess::Running);
    QSignalSpy finished(process, &QProcess::finished);
    QVERIFY(finished.wait(5000));

    const QList<QByteArray> environment = readAll(record).split('\n');
    QVERIFY(environment.contains("KESTREL_APP_SECRET=own"));
    QVERIFY(environment.contains("KESTREL_TEST_MARK=kept as is"));
    QCOMPARE(std::count_if(
                 environment.cbegin(), environment.cend(),
                 [](const QByteArray& line) { return line.startsWith("KESTREL_APP_SECRET="); }),
             1);
    // Both streams land after what the file held, in the order written.
    QCOMPARE(readAll(output), QByteArray("earlier line\nargs=0\nagent-err\n"));
}

void AgentProcessTest::exitIsReportedAsStatusAndReason_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("reason");
    QTest::newRow("exit 0") << QByteArray("exit 0\n") << 0 << 1;
    QTest::newRow("exit 3") << QByteArray("exit 3\n") << 3 << 1;
    QTest::newRow("SIGKILL") << QByteArray("kill -KILL $$\n") << 9 << 2;
    QTest::newRow("SIGTERM") << QByteArray("kill -TERM $$\n") << 15 << 2;
}

void AgentProcessTest::exitIsReportedAsStatusAndReason() {
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(int, reason);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    QObject parent;
    QProcess* process = spawned(spawnAgent(
        {writeScript(dir, body), QProcessEnvironment::systemEnvironment(), std::nullopt}, &parent));
    QVERIFY(process);
    QSignalSpy finished(process, &QProcess::finished);
    QVERIFY(finished.wait(5000));
    const AgentExit exit = agentExit(finished.first().at(0).toInt(),
                                     finished.first().at(1).value<QProcess::ExitStatus>());
    QCOMPARE(exit, (AgentExit{status, reason}));
}

void AgentProcessTest::unwritableOutputLeavesAgentRunning() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString marker = dir.filePath(QStringLiteral("ran"));
    // A folder in the log's place cannot be opened for writing, even by root.
    const QString output = dir.filePath(QStringLiteral("log-is-a-folder"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("log-is-a-folder")));

    QObject parent;
    QProcess* process = spawned(spawnAgent({writeScript(dir, "touch '" + marker.toUtf8() + "'\n"),
                                            QProcessEnvironment::systemEnvironment(), output},
                                           &parent));
    QVERIFY(process);
    QSignalSpy finished(process, &QProcess::finished);
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.first().at(1).value<QProcess::ExitStatus>(), QProcess::NormalExit);
    QCOMPARE(finished.first().at(0).toInt(), 0);
    QVERIFY(QFile::exists(marker));
}

void AgentProcessTest::failedStartIsAnErrorValue() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Executable, yet exec() fails: the interpreter does not exist.
    const QString path = dir.filePath(QStringLiteral("agent"));
    writeFile(path, "#!/nonexistent/interpreter\n", executable);

    QObject parent;
    const auto result =
        spawnAgent({path, QProcessEnvironment::systemEnvironment(), std::nullopt}, &parent);
    const auto* error = std::get_if<LaunchError>(&result);
    QVERIFY(error);
    QCOMPARE(error->domain, QStringLiteral("QProcess"));
    QCOMPARE(error->code, int(QProcess::FailedToStart));
    QVERIFY(!error->description.isEmpty());
    QVERIFY(parent.children().isEmpty());
}

void AgentProcessTest::detachTerminatesWithoutWaitingOrReporting() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString ready = dir.filePath(QStringLiteral("ready"));
    const QString stopped = dir.filePath(QStringLiteral("stopped"));
    // The agent takes a while to stop after SIGTERM; SIGKILL would leave no mark.
    const QString script = writeScript(dir, "trap 'sleep 0.5; echo term > \"" + stopped.toUtf8() +
                                                "\"; exit 0' TERM\ntouch '" + ready.toUtf8() +
                                                "'\nwhile :; do sleep 0.05; done\n");

    auto parent = std::make_unique<QObject>();
    QProcess* process = spawned(
        spawnAgent({script, QProcessEnvironment::systemEnvironment(), std::nullopt}, parent.get()));
    QVERIFY(process);
    QTRY_VERIFY(QFile::exists(ready));
    int exitReports = 0;
    connect(process, &QProcess::finished, this, [&exitReports] { ++exitReports; });

    QElapsedTimer clock;
    clock.start();
    detachAndTerminate(process);
    QSignalSpy destroyed(process, &QObject::destroyed);
    // Destroying the former owner must neither kill the agent nor wait for it.
    parent.reset();
    QVERIFY2(clock.elapsed() < 300, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(destroyed.isEmpty());

    QVERIFY(destroyed.wait(5000));
    QCOMPARE(readAll(stopped), QByteArray("term\n"));
    QCOMPARE(exitReports, 0);
}

QTEST_GUILESS_MAIN(AgentProcessTest)
#include "tst_agentprocess.moc"
