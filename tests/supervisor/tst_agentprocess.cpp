#include "supervisor/AgentProcess.h"
#include "supervisor/AppSecret.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace kestrel;

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A shell script standing in for the agent.
QString writeScript(const QTemporaryDir& dir, const QByteArray& body) {
    const QString path = dir.filePath(QStringLiteral("agent.sh"));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("#!/bin/sh\n" + body);
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QProcess* spawn(const QString& program, std::optional<QString> output, QObject* parent) {
    const auto result =
        spawnAgent({program, QProcessEnvironment::systemEnvironment(), std::move(output)}, parent);
    return std::holds_alternative<QProcess*>(result) ? std::get<QProcess*>(result) : nullptr;
}

} // namespace

class AgentProcessTest : public QObject {
    Q_OBJECT

private slots:
    void appSecretsDiffer() {
        QSet<QString> seen;
        for (int i = 0; i < 20; ++i) {
            const QString secret = makeAppSecret();
            QCOMPARE(secret.size(), 72);
            QVERIFY(secret.left(36) != secret.right(36));
            seen.insert(secret);
        }
        QCOMPARE(seen.size(), 20);
    }

    void unwritableOutputLeavesAgentRunning() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString marker = dir.filePath(QStringLiteral("ran"));
        // A folder in the log's place cannot be opened for writing, even by root.
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("log")));

        QObject parent;
        QProcess* process = spawn(writeScript(dir, "touch '" + marker.toUtf8() + "'\n"),
                                  dir.filePath(QStringLiteral("log")), &parent);
        QVERIFY(process);
        QSignalSpy finished(process, &QProcess::finished);
        QVERIFY(finished.wait());
        QVERIFY(QFile::exists(marker));
    }

    void detachTerminatesWithoutWaitingOrReporting() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray ready = dir.filePath(QStringLiteral("ready")).toUtf8();
        const QString stopped = dir.filePath(QStringLiteral("stopped"));
        // Slow to stop after SIGTERM; a SIGKILL would leave no mark.
        const QString script = writeScript(dir, "trap 'sleep 0.5; echo term > \"" +
                                                    stopped.toUtf8() + "\"; exit 0' TERM\ntouch '" +
                                                    ready + "'\nwhile :; do sleep 0.05; done\n");
        auto parent = std::make_unique<QObject>();
        QProcess* process = spawn(script, std::nullopt, parent.get());
        QVERIFY(process);
        QTRY_VERIFY(QFile::exists(QString::fromUtf8(ready)));
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

        QVERIFY(destroyed.wait());
        QCOMPARE(readAll(stopped), QByteArray("term\n"));
        QCOMPARE(exitReports, 0);
    }
};

QTEST_GUILESS_MAIN(AgentProcessTest)
#include "tst_agentprocess.moc"
