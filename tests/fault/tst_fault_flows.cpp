// The log after every flow has run once against the reference agent. Downloads
// that cannot be stored (a full disk, an unusable Downloads folder) are rows of
// the update tests.

#include "support/AppHarness.h"
#include "support/Files.h"
#include "support/UpdateHost.h"
#include "ui/MainWindow.h"
#include "update/Sha256.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString imageName = updateFilename("1.4.2", thisUpdatePlatform());

} // namespace

class FaultFlowsTest : public QObject {
    Q_OBJECT

private slots:
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
        const QByteArray environment =
            '\0' + fileContents(QString("/proc/%1/environ").arg(agentPid));
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
        QTRY_VERIFY(fileContents(harness.logPath()).contains("stopped"));

        const QByteArray log = fileContents(harness.logPath());
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
};

QTEST_MAIN(FaultFlowsTest)
#include "tst_fault_flows.moc"
