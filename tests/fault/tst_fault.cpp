// Agents that fail in the ways real ones do: accept and never answer, drip
// their reply, or answer nonsense, several polls in a row with the
// controller's real timers. Then the log after every flow has run once
// against the reference agent.

#include "support/AppHarness.h"
#include "support/FakeAgent.h"

#include <QDeadlineTimer>
#include <QNetworkReply>
#include <QTest>
#include <QTimer>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;

namespace {

// Every health poll the controller's session sends: when it went out and
// when it ended (-1 while out), the most that were out at once, and how many
// are gone.
struct PollWatch final : NetworkFactory {
    struct Session final : QNetworkAccessManager {
        Session(PollWatch& watch, QObject* parent) : QNetworkAccessManager(parent), watch(watch) {}
        QNetworkReply* createRequest(Operation op, const QNetworkRequest& request,
                                     QIODevice* data) override {
            QNetworkReply* reply = QNetworkAccessManager::createRequest(op, request, data);
            if (request.url().path() != "/v1/health")
                return reply;
            watch.mostOut = std::max(watch.mostOut, ++watch.out);
            watch.polls.append({QDeadlineTimer::current().deadline(), -1});
            // The controller ends this watch before its sessions and their
            // replies: only a live watch hears of them.
            connect(reply, &QNetworkReply::finished, &watch.alive,
                    [&watch = watch, i = watch.polls.size() - 1] {
                        --watch.out;
                        watch.polls[i].second = QDeadlineTimer::current().deadline();
                    });
            connect(reply, &QObject::destroyed, &watch.alive, [&watch = watch] { ++watch.gone; });
            return reply;
        }
        PollWatch& watch;
    };

    QNetworkAccessManager* create(QObject* parent) override { return new Session(*this, parent); }

    QList<std::pair<qint64, qint64>> polls;
    int out = 0, mostOut = 0, gone = 0;
    QObject alive;
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
        const QByteArray badUtf8 = healthBody("1.0.0").replace("device-1", "device-\xff\xfe\xc3");
        // Without the idle limit the 2 s limit would end a silent reply, as
        // early as 1.9 s: a coarse timer may fire 5 % early.
        QTest::newRow("never answers") << FakeReply{.hang = true} << 1400 << 1900;
        // Without the 2 s limit the reply would drip for half a minute.
        QTest::newRow("drips") << FakeReply{.body = healthBody("1"), .drip = 100ms} << 1850 << 3000;
        // A body not cut off at the size limit would fill the read buffer and
        // stall until the idle limit.
        QTest::newRow("garbage") << FakeReply{.patternSize = 64 * 1024} << 0 << 1400;
        QTest::newRow("invalid UTF-8") << FakeReply{.body = badUtf8} << 0 << 1400;
        QTest::newRow("endless") << FakeReply{.endless = true} << 0 << 1400;
    }

    void misbehavingAgent() {
        QFETCH(FakeReply, reply);
        QFETCH(int, shortestMs);
        QFETCH(int, longestMs);
        FakeAgent agent;
        agent.setReply("/v1/health", reply);
        AppHarness harness;
        harness.config.agentBaseUrl = agent.baseUrl();
        harness.config.pollInterval = 0.7;
        harness.installAgentScript("exec sleep 60");
        auto* watch = new PollWatch;
        harness.networkFactory.reset(watch);
        AppDelegate& delegate = harness.launch();
        QTimer presser;
        presser.callOnTimeout([&delegate] { delegate.refreshNow(); });
        presser.start(50);
        QTRY_VERIFY_WITH_TIMEOUT(watch->polls.size() > 4, 30000);

        QCOMPARE(watch->mostOut, 1);
        for (const auto& [sent, ended] : watch->polls.first(4)) {
            QCOMPARE_GE(ended - sent, shortestMs);
            QCOMPARE_LT(ended - sent, longestMs);
        }
        // Replies handled are gone; one may still be out.
        QCOMPARE_LE(watch->polls.size() - watch->gone, 1);
        QCOMPARE(delegate.window()->statusTitle()->text(), "Служба запускается…");
    }

    // Every flow once against the reference agent, which shares the log;
    // afterwards no 16 characters in a row of the per-launch secret or of a
    // pairing token is in it.
    void noSecretOrTokenInTheLog() {
        const QString accepted = "AcceptedToken0123456789_-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLM";
        const QString declined = "DeclinedToken0123456789_-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLM";
        AppHarness harness;
        writeFile(harness.agentPath(), fileContents(KESTREL_AGENT_EXECUTABLE), true);
        AppDelegate& app = harness.launch();
        QTRY_VERIFY_WITH_TIMEOUT(app.state().isAgentReady, 10000);
        QVERIFY(app.helperProcess());
        const QByteArray secret =
            app.helperProcess()->processEnvironment().value("KESTREL_APP_SECRET").toLatin1();
        QCOMPARE(secret.size(), 72);
        QTRY_VERIFY(harness.logged("printers_result"));

        for (const QString& token : {declined, accepted}) {
            app.openUrls({QUrl("kestrel://connect?pairingToken=" + token)});
            QTRY_COMPARE_WITH_TIMEOUT(harness.presenter->sheets.size(), 1, 10000);
            harness.presenter->answerSheet(token == accepted);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!app.state().pairingInFlight, 10000);
        // Credentials locked: the signing button asks the agent to unlock them.
        const QString lock =
            writeFile(harness.home.filePath(".local/share/KestrelAgent/keychain-locked"), {});
        app.refreshNow();
        QTRY_VERIFY_WITH_TIMEOUT(app.state().needsCredentialAccess, 10000);
        app.window()->signingButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(lock) && !app.state().credentialAccessInFlight,
                                 10000);
        harness.wake->wake();
        QTRY_VERIFY_WITH_TIMEOUT(fileContents(harness.logPath()).contains("/resume status=200"),
                                 10000);
        app.applicationWillTerminate();
        // The agent's last line.
        QTRY_VERIFY(fileContents(harness.logPath()).contains("stopped"));

        const QByteArray log = fileContents(harness.logPath());
        // Every flow left its trace, from both writers of the log (printers
        // and resume were waited for).
        for (const char* trace : {"service_ready", "path=/v1/app/pairing-preview status=200",
                                  "path=/v1/app/pairing-confirm status=200",
                                  "path=/v1/app/unlock-credentials status=200", "app_terminate"})
            QVERIFY2(log.contains(trace), trace);
        for (const QByteArray& value : {secret, accepted.toLatin1(), declined.toLatin1()})
            for (qsizetype i = 0; i + 16 <= value.size(); ++i)
                QVERIFY2(!log.contains(value.mid(i, 16)), value.mid(i, 16).constData());
    }
};

QTEST_MAIN(FaultAgentTest)
#include "tst_fault.moc"
