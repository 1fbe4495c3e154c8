// Update downloads that cannot be stored, and the log after every flow has
// run once against the reference agent. A write cut short into an empty
// folder is in the update tests; here the disk fills up with an older image
// beside the new one, or the Downloads folder cannot be had at all.

#include "support/AppHarness.h"
#include "support/TlsTestServer.h"
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

struct Routing final : NetworkFactory {
    explicit Routing(TlsTestServer& server) : server(server) {}
    QNetworkAccessManager* create(QObject* parent) override {
        return createRoutingManager("updates.kestrel.example", server.port(), server.certificate(),
                                    parent);
    }
    TlsTestServer& server;
};

// The update host publishes `image` as 1.4.2; the controller's sessions are sent to it.
void publish(TlsTestServer& server, AppHarness& harness, const QByteArray& image) {
    Sha256 hash;
    hash.update(image);
    const QUrl url = harness.config.updateManifestUrl.resolved(QUrl(imageName));
    const QString manifest = R"({"version": "1.4.2", "builds": {"%4": )"
                             R"({"filename": "%1", "url": "%2", "sha256": "%3"}}})";
    server.setResponse(harness.config.updateManifestUrl.path(),
                       {.body = manifest
                                    .arg(imageName, url.toString(), hash.finalHex(),
                                         harness.config.updatePlatform.buildKey)
                                    .toUtf8()});
    server.setResponse(url.path(), {.body = image});
    harness.networkFactory = std::make_unique<Routing>(server);
}

} // namespace

class FaultFlowsTest : public QObject {
    Q_OBJECT

private slots:
    // The alert gives the system's reason, the file that was there stays as
    // it was and no partial file is left anywhere.
    void downloadThatCannotBeStored_data() {
        QTest::addColumn<bool>("diskFull");
        QTest::newRow("disk full halfway") << true;
        QTest::newRow("a file where Downloads should be") << false; // root ignores permissions
    }

    void downloadThatCannotBeStored() {
        QFETCH(bool, diskFull);
        const QByteArray old(100 * 1024, 'o');
        TlsTestServer server("updates.kestrel.example");
        AppHarness harness;
        harness.config.agentBaseUrl = QUrl("http://127.0.0.1:9"); // no agent answers
        publish(server, harness, patternBytes(0, 4 * Sha256::chunkBytes));
        const QString folder = harness.downloadsFolder();
        const QString kept = diskFull ? folder + "/" + imageName : folder;
        int error = diskFull ? ENOSPC : ENOTDIR;
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
        if (diskFull &&
            (!QDir().mkpath(folder) || ::mount("tmpfs", QFile::encodeName(folder).constData(),
                                               "tmpfs", 0, size.constData()) != 0)) {
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
                 QString("Обновление не скачано: ") + (error == EFBIG ? "Файл слишком велик"
                                                       : error == ENOSPC
                                                           ? "Нет свободного места на устройстве"
                                                           : "Не является папкой"));
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
        TlsTestServer server("updates.kestrel.example");
        AppHarness harness;
        publish(server, harness, "a verified disk image");
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
