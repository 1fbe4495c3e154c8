// Agents that fail in the ways real ones do: accept and never answer, drip
// their reply, or answer nonsense, several polls in a row with the
// controller's real timers. Then the log after every flow has run once
// against the reference agent.

#include "support/AppHarness.h"
#include "support/FakeAgent.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QPointer>
#include <QTest>
#include <QTimer>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(kestrel::test::FakeReply)

namespace {

const QString healthPath = QStringLiteral("/v1/health");
const QString startingTitle = QStringLiteral("Служба запускается…");

// Sends the agent polls to `agent` and everything else nowhere.
void pointAt(AppHarness& harness, const QUrl& agent) {
    const quint16 closed = FakeAgent().port(); // the system handed it out and took it back
    const QUrl nowhere(QString("http://127.0.0.1:%1").arg(closed));
    harness.config.agentBaseUrl = agent.isEmpty() ? nowhere : agent;
    harness.config.privateAgentUrl = nowhere;
    harness.config.updateManifestUrl = QUrl(QString("https://127.0.0.1:%1/m.json").arg(closed));
    harness.config.updateHost = "127.0.0.1";
    harness.installAgentScript("exec sleep 60");
}

// Every health poll the controller's session sends: when it went out and
// ended, and how many others were out then.
struct Poll {
    qint64 sent, ended;
    qsizetype othersOut;
};

struct PollWatch final : NetworkFactory {
    struct Session final : QNetworkAccessManager {
        Session(PollWatch& watch, QObject* parent) : QNetworkAccessManager(parent), watch(watch) {}
        QNetworkReply* createRequest(Operation op, const QNetworkRequest& request,
                                     QIODevice* data) override {
            QNetworkReply* reply = QNetworkAccessManager::createRequest(op, request, data);
            if (request.url().path() != healthPath)
                return reply;
            watch.session = this;
            QList<Poll>& polls = watch.polls;
            polls.append({watch.clock.elapsed(), -1, std::ranges::count(polls, -1, &Poll::ended)});
            connect(reply, &QNetworkReply::finished, this,
                    [this, i = polls.size() - 1] { watch.polls[i].ended = watch.clock.elapsed(); });
            return reply;
        }
        PollWatch& watch;
    };

    PollWatch() { clock.start(); }
    QNetworkAccessManager* create(QObject* parent) override { return new Session(*this, parent); }

    QElapsedTimer clock;
    QList<Poll> polls;
    QPointer<QNetworkAccessManager> session; // the one that polls
};

} // namespace

class FaultAgentTest : public QObject {
    Q_OBJECT

private slots:
    // Each poll ends in time (a silent reply at the 1.5 s idle limit, a
    // dripping one at the 2 s limit of the whole exchange, a body over the
    // limit cut off at once) and polls that fall due meanwhile (every 0.7 s,
    // and the refresh button every 50 ms) are dropped rather than sent beside
    // it. Nonsense leaves the status at "starting", and no handled reply is
    // kept.
    //
    // Timers may fire late on a busy machine, never early, so the shortest
    // times are close to the limits and the longest leave room: each still
    // tells the limit that should end the poll from the next one that would.
    void misbehavingAgent_data() {
        QTest::addColumn<FakeReply>("reply");
        QTest::addColumn<int>("shortestMs"); // the limit, less what a coarse timer may be early
        QTest::addColumn<int>("longestMs");
        QByteArray garbage(64 * 1024, '\0'), badUtf8 = healthBody("1.0.0");
        for (qsizetype i = 0; i < garbage.size(); ++i)
            garbage[i] = char((i * 7919 + 13) % 256);
        badUtf8.replace("device-1", "device-\xff\xfe\xc3");
        const FakeReply drips{.body = healthBody("1.0.0"), .drip = 100ms};
        // Without the idle limit the 2 s limit would end a silent reply, as
        // early as 1.9 s: a coarse timer may fire 5 % early.
        QTest::newRow("never answers") << FakeReply{.hang = true} << 1400 << 1900;
        // Without the 2 s limit the reply would drip for half a minute.
        QTest::newRow("drips") << drips << 1850 << 3000;
        // A body not cut off at the size limit would fill the read buffer and
        // stall until the idle limit.
        QTest::newRow("garbage") << FakeReply{.body = garbage} << 0 << 1400;
        QTest::newRow("10 MiB") << FakeReply{.patternSize = 10 << 20} << 0 << 1400;
        QTest::newRow("invalid UTF-8") << FakeReply{.body = badUtf8} << 0 << 1400;
        QTest::newRow("endless") << FakeReply{.endless = true} << 0 << 1400;
    }

    void misbehavingAgent() {
        QFETCH(FakeReply, reply);
        QFETCH(int, shortestMs);
        QFETCH(int, longestMs);
        FakeAgent agent;
        agent.setReply(healthPath, reply);
        AppHarness harness;
        pointAt(harness, agent.baseUrl());
        harness.config.pollInterval = 0.7;
        auto* watch = new PollWatch;
        harness.networkFactory.reset(watch);
        QTimer presser;
        connect(&presser, &QTimer::timeout, this, [&] { harness.delegate->refreshNow(); });
        AppDelegate& delegate = harness.launch();
        presser.start(50);
        QTRY_VERIFY_WITH_TIMEOUT(watch->polls.size() > 4, 30000);
        presser.stop();

        for (const Poll& poll : watch->polls.first(4)) {
            QCOMPARE(poll.othersOut, 0);
            QCOMPARE_GE(poll.ended - poll.sent, shortestMs);
            QCOMPARE_LT(poll.ended - poll.sent, longestMs);
        }
        // Replies handled are gone; one may still be out.
        QCOMPARE_LE(watch->session->findChildren<QNetworkReply*>().size(), 1);
        QCOMPARE(delegate.window()->statusTitle()->text(), startingTitle);
        QVERIFY(!harness.logged("service_ready"));
    }

    // Every flow once against the reference agent, which shares the log;
    // afterwards no 16 characters in a row of the per-launch secret or of a
    // pairing token is in it.
    void noSecretOrTokenInTheLog() {
        const QString accepted = "AcceptedToken0123456789_-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLM";
        const QString declined = "DeclinedToken0123456789_-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLM";
        AppHarness harness;
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
        QTRY_VERIFY_WITH_TIMEOUT(fileContents(harness.logPath()).contains("/resume status=200"),
                                 10000);
        app.applicationWillTerminate();
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(QString("/proc/%1").arg(agentPid)), 5000);
        QTRY_VERIFY(fileContents(harness.logPath()).contains("stopped"));

        const QByteArray log = fileContents(harness.logPath());
        // Every flow left its trace, from both writers of the log.
        for (const char* trace :
             {"service_ready", "printers_result", "path=/v1/app/pairing-preview status=200",
              "path=/v1/app/pairing-confirm status=200",
              "path=/v1/app/unlock-credentials status=200", "path=/v1/app/resume status=200",
              "app_terminate"})
            QVERIFY2(log.contains(trace), trace);
        for (const QByteArray& value : {secret, accepted.toLatin1(), declined.toLatin1()})
            for (qsizetype i = 0; i + 16 <= value.size(); ++i)
                QVERIFY2(!log.contains(value.mid(i, 16)), value.mid(i, 16).constData());
    }
};

QTEST_MAIN(FaultAgentTest)
#include "tst_fault.moc"
