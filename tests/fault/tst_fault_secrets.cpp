// Every flow run once against the reference agent, which shares the log:
// launch, status and printers, a pairing confirmed and one declined, a
// credential unlock, a resume after wake, an update check and download, and
// the quit. Afterwards neither the per-launch secret nor a pairing token
// appears anywhere in the log, in whole or in part.

#include "support/AppHarness.h"
#include "support/TlsTestServer.h"
#include "ui/MainWindow.h"
#include "update/Sha256.h"

#include <QPushButton>
#include <QTest>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString updateHost = QStringLiteral("updates.kestrel.example");
const QString imageName = QStringLiteral("KESTREL-Agent-1.4.2-macOS-AppleSilicon.dmg");
const QString imagePath = QStringLiteral("/downloads/print-agent/") + imageName;
const QString accepted =
    QStringLiteral("AcceptedToken0123456789_-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLM");
const QString declined =
    QStringLiteral("DeclinedToken0123456789_-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLM");

class RoutingFactory final : public NetworkFactory {
public:
    RoutingFactory(int port, QSslCertificate certificate)
        : m_port(port), m_certificate(std::move(certificate)) {}
    QNetworkAccessManager* create(QObject* parent) override {
        return createRoutingManager(updateHost, m_port, m_certificate, parent);
    }

private:
    int m_port;
    QSslCertificate m_certificate;
};

QByteArray manifest(const QByteArray& image) {
    Sha256 hash;
    hash.update(image);
    return QStringLiteral("{\"version\": \"1.4.2\", \"builds\": {\"macos-arm64\": {\"filename\": "
                          "\"%1\", \"url\": \"https://%2%3\", \"sha256\": \"%4\"}}}")
        .arg(imageName, updateHost, imagePath, hash.finalHex())
        .toUtf8();
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The value the agent process was given for `name`.
QByteArray environmentValue(qint64 pid, const QByteArray& name) {
    for (const QByteArray& entry : readAll(QStringLiteral("/proc/%1/environ").arg(pid)).split('\0'))
        if (entry.startsWith(name + '='))
            return entry.mid(name.size() + 1);
    return {};
}

QList<QByteArray> piecesOf(const QByteArray& text, qsizetype length) {
    QList<QByteArray> pieces;
    for (qsizetype i = 0; i + length <= text.size(); i += length)
        pieces.append(text.mid(i, length));
    return pieces;
}

} // namespace

class FaultSecretsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name);
    }

    void noSecretOrTokenInTheLog() {
        const QByteArray image("a verified disk image");
        TlsTestServer server(updateHost);
        QVERIFY(server.isListening());
        server.setResponse(QStringLiteral("/downloads/print-agent/latest-macos.json"),
                           {.body = manifest(image)});
        server.setResponse(imagePath, {.body = image});

        AppHarness harness;
        harness.networkFactory =
            std::make_unique<RoutingFactory>(server.port(), server.certificate());
        QFile::remove(harness.agentPath());
        QVERIFY(QFile::copy(QStringLiteral(KESTREL_AGENT_EXECUTABLE), harness.agentPath()));
        AppDelegate& app = harness.launch();
        QTRY_VERIFY_WITH_TIMEOUT(app.state().isAgentReady, 10000);
        QVERIFY(app.helperProcess());
        const QByteArray secret =
            environmentValue(app.helperProcess()->processId(), "KESTREL_APP_SECRET");
        QCOMPARE(secret.size(), 72);
        QTRY_VERIFY(harness.logged(QStringLiteral("printers_result")));

        // A pairing declined, then one confirmed.
        app.openUrls({QUrl(QStringLiteral("kestrel://connect?pairingToken=") + declined)});
        QTRY_COMPARE_WITH_TIMEOUT(harness.presenter->sheets.size(), 1, 10000);
        harness.presenter->answerSheet(false);
        app.openUrls({QUrl(QStringLiteral("kestrel://connect?pairingToken=") + accepted)});
        QTRY_COMPARE_WITH_TIMEOUT(harness.presenter->sheets.size(), 1, 10000);
        harness.presenter->answerSheet(true);
        QTRY_VERIFY_WITH_TIMEOUT(!app.state().pairingInFlight, 10000);
        QVERIFY(harness.presenter->alerts.isEmpty());

        // The credentials locked: the signing button asks the agent to unlock.
        QFile lock(
            harness.home.filePath(QStringLiteral(".local/share/KestrelAgent/keychain-locked")));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.close();
        app.refreshNow();
        QTRY_VERIFY_WITH_TIMEOUT(app.state().needsCredentialAccess, 10000);
        app.window()->signingButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!lock.exists() && !app.state().credentialAccessInFlight, 10000);

        // Wake: the agent is asked to resume.
        harness.wake->wake();
        QTRY_VERIFY_WITH_TIMEOUT(!app.state().resumeCheckPending, 10000);

        // The update found at launch, downloaded and verified.
        QTRY_VERIFY_WITH_TIMEOUT(app.state().availableUpdate.has_value(), 10000);
        app.window()->updateButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(harness.desktop->revealed.size(), 1, 10000);

        const qint64 agentPid = app.helperProcess()->processId();
        app.applicationWillTerminate();
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(QStringLiteral("/proc/%1").arg(agentPid)), 5000);
        QTRY_VERIFY(readAll(harness.logPath()).contains("stopped"));

        // Every flow left its trace, from both writers of the log.
        const QByteArray log = readAll(harness.logPath());
        for (const char* trace :
             {"service_ready", "printers_result", "path=/v1/app/pairing-preview status=200",
              "path=/v1/app/pairing-confirm status=200",
              "path=/v1/app/unlock-credentials status=200", "path=/v1/app/resume status=200",
              "update_check_end http=200", "app_terminate"})
            QVERIFY2(log.contains(trace), trace);

        // Neither secret nor token, nor any 16-character piece of them.
        for (const QByteArray& value : {secret, accepted.toLatin1(), declined.toLatin1()}) {
            for (const QByteArray& piece : piecesOf(value, 16))
                QVERIFY2(!log.contains(piece), piece.constData());
        }
    }
};

QTEST_MAIN(FaultSecretsTest)
#include "tst_fault_secrets.moc"
