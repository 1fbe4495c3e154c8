// An update download that fills the disk, and the log after every flow has
// run once against the reference agent. Downloads that fail in other ways,
// the Downloads folder among them, are in the update tests; here the disk
// fills up with an older image beside the new one.

#include "support/AppHarness.h"
#include "support/UpdateHost.h"
#include "ui/MainWindow.h"
#include "update/Sha256.h"

#include <QDirIterator>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/resource.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString imageName = updateFilename("1.4.2", thisUpdatePlatform());

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class FaultFlowsTest : public QObject {
    Q_OBJECT

private slots:
    // The alert gives the system's reason, the file that was there stays as
    // it was and no partial file is left anywhere.
    void diskFullHalfway() {
        const QByteArray old(100 * 1024, 'o');
        UpdateHost server;
        AppHarness harness;
        harness.config.agentBaseUrl = QUrl("http://127.0.0.1:9"); // no agent answers
        server.publish(harness.config, "1.4.2", imageName,
                       {.body = patternBytes(0, 4 * Sha256::chunkBytes)});
        harness.networkFactory = server.factory();
        const QString folder = harness.downloadsFolder();
        const QString kept = folder + "/" + imageName;
        int error = ENOSPC;
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const auto undo = qScopeGuard([&] {
            ::umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
        // Room for the old image and one and a half of the pieces the new one
        // is written in: one write is cut short before the next one fails.
        const rlimit room{rlim_t(old.size() + 3 * Sha256::chunkBytes / 2), limit.rlim_max};
        const QByteArray size = "size=" + QByteArray::number(quint64(room.rlim_cur));
        if (!QDir().mkpath(folder) || ::mount("tmpfs", QFile::encodeName(folder).constData(),
                                              "tmpfs", 0, size.constData()) != 0) {
            // Without the right to mount: past a file size limit a write fails
            // (SIGXFSZ ignored, or it ends the process).
            error = EFBIG;
            std::signal(SIGXFSZ, SIG_IGN);
            ::setrlimit(RLIMIT_FSIZE, &room);
        }
        QFile file(kept);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(old) == old.size());
        file.close();

        AppDelegate& app = harness.launch();
        QTRY_VERIFY_WITH_TIMEOUT(app.state().availableUpdate.has_value(), 15000);
        app.window()->updateButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(harness.presenter->alerts.size(), 1, 30000);
        QCOMPARE(harness.presenter->alerts[0].title + ": " + harness.presenter->alerts[0].message,
                 QString("Обновление не скачано: ") + (error == EFBIG
                                                           ? "Файл слишком велик"
                                                           : "Нет свободного места на устройстве"));
        QCOMPARE(app.window()->updateLabel()->text(), "Не удалось скачать обновление.");
        QVERIFY(harness.desktop->revealed.isEmpty());
        QCOMPARE(readAll(kept), old);
        QDirIterator partial(harness.home.path(), {"*.part"}, QDir::Files | QDir::Hidden,
                             QDirIterator::Subdirectories);
        QCOMPARE(partial.hasNext() ? partial.next() : QString(), QString());
    }

#ifdef KESTREL_AGENT_EXECUTABLE
    // Every flow once against the reference agent, which shares the log;
    // afterwards no 16 characters in a row of the per-launch secret or of a
    // pairing token is in it.
    void noSecretOrTokenInTheLog() {
        const QString accepted = "AcceptedToken0123456789_-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLM";
        const QString declined = "DeclinedToken0123456789_-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLM";
        UpdateHost server;
        AppHarness harness;
        server.publish(harness.config, "1.4.2", imageName, {.body = "a verified disk image"});
        harness.networkFactory = server.factory();
        QFile::remove(harness.agentPath());
        QVERIFY(QFile::copy(KESTREL_AGENT_EXECUTABLE, harness.agentPath()));
        AppDelegate& app = harness.launch();
        QTRY_VERIFY_WITH_TIMEOUT(app.state().isAgentReady, 10000);
        QVERIFY(app.helperProcess());
        const qint64 agentPid = app.helperProcess()->processId();
        const QByteArray environment = '\0' + readAll(QString("/proc/%1/environ").arg(agentPid));
        const qsizetype at = environment.indexOf(QByteArray("\0KESTREL_APP_SECRET=", 20)) + 20;
        const QByteArray secret = environment.mid(at, environment.indexOf('\0', at) - at);
        QCOMPARE(secret.size(), 72);
        QTRY_VERIFY(harness.logged("printers_result"));

        for (const QString& token : {declined, accepted}) {
            app.openUrls({QUrl("kestrel://connect?pairingToken=" + token)});
            QTRY_COMPARE_WITH_TIMEOUT(harness.presenter->sheets.size(), 1, 10000);
            harness.presenter->answerSheet(token == accepted);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!app.state().pairingInFlight, 10000);
        QVERIFY(harness.presenter->alerts.isEmpty());
        // Credentials locked: the signing button asks the agent to unlock them.
        QFile lock(harness.home.filePath(".local/share/KestrelAgent/keychain-locked"));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.close();
        app.refreshNow();
        QTRY_VERIFY_WITH_TIMEOUT(app.state().needsCredentialAccess, 10000);
        app.window()->signingButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!lock.exists() && !app.state().credentialAccessInFlight, 10000);
        harness.wake->wake();
        QTRY_VERIFY_WITH_TIMEOUT(!app.state().resumeCheckPending, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(app.state().availableUpdate.has_value(), 10000);
        app.window()->updateButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(harness.desktop->revealed.size(), 1, 10000);
        app.applicationWillTerminate();
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(QString("/proc/%1").arg(agentPid)), 5000);
        QTRY_VERIFY(readAll(harness.logPath()).contains("stopped"));

        const QByteArray log = readAll(harness.logPath());
        // Every flow left its trace, from both writers of the log.
        for (const char* trace :
             {"service_ready", "printers_result", "path=/v1/app/pairing-preview status=200",
              "path=/v1/app/pairing-confirm status=200",
              "path=/v1/app/unlock-credentials status=200", "path=/v1/app/resume status=200",
              "update_check_end http=200", "app_terminate"})
            QVERIFY2(log.contains(trace), trace);
        for (const QByteArray& value : {secret, accepted.toLatin1(), declined.toLatin1()})
            for (qsizetype i = 0; i + 16 <= value.size(); ++i)
                QVERIFY2(!log.contains(value.mid(i, 16)), value.mid(i, 16).constData());
    }
#endif
};

QTEST_MAIN(FaultFlowsTest)
#include "tst_fault_flows.moc"
