// Agents that fail in the ways real ones do: crash at once, accept and never
// answer, drip their reply, or answer nonsense. The controller runs with its
// real timers; what it does is read back from the log, the process table and
// its own state. A single hung or dripping poll is covered by the agent
// client tests; here it is several polls in a row.

#include "support/AppHarness.h"
#include "support/FakeAgent.h"
#include "ui/MainWindow.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <malloc.h>

// Defined only under AddressSanitizer.
extern "C" __attribute__((weak)) size_t __sanitizer_get_current_allocated_bytes();

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(kestrel::test::FakeReply)

namespace {

const QString healthPath = QStringLiteral("/v1/health");
const QString startingTitle = QStringLiteral("Служба запускается…");

// Heap in use, without what the allocator keeps for reuse (AddressSanitizer
// quarantines freed memory, so the resident size says little under it).
qint64 heapInUse() {
    if (__sanitizer_get_current_allocated_bytes)
        return qint64(__sanitizer_get_current_allocated_bytes());
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
}

// Children of this process that run `program` (a zombie's command line is empty).
int runningChildren(const QString& program) {
    QFile children(QString("/proc/self/task/%1/children").arg(QCoreApplication::applicationPid()));
    int count = 0;
    for (const QByteArray& pid :
         children.open(QIODevice::ReadOnly) ? children.readAll().split(' ') : QList<QByteArray>()) {
        QFile commandLine("/proc/" + pid + "/cmdline");
        count += commandLine.open(QIODevice::ReadOnly) &&
                 commandLine.readAll().contains(program.toUtf8());
    }
    return count;
}

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

} // namespace

class FaultAgentTest : public QObject {
    Q_OBJECT

private slots:
    // Ten exits, with the real poll timer running beside the restarts; the
    // second row lives long enough for the process table to show it.
    void agentExitingAtOnce_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("seenAlive");
        QTest::newRow("at once") << QByteArray("exit 3") << false;
        QTest::newRow("after 0.2 s") << QByteArray("sleep 0.2\nexit 3") << true;
    }

    void agentExitingAtOnce() {
        QFETCH(QByteArray, script);
        QFETCH(bool, seenAlive);
        AppHarness harness;
        pointAt(harness, {});
        harness.installAgentScript(script);
        int mostAlive = 0;
        QMap<qsizetype, long> fewestDescriptors; // during each cycle, by exits so far
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, this, [&] {
            mostAlive = std::max(mostAlive, runningChildren(harness.agentPath()));
            const qsizetype exits = harness.events().filter("helper_exit").size();
            const auto open =
                std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
            fewestDescriptors[exits] = std::min(fewestDescriptors.value(exits, open), open);
        });
        sampler.start(5);
        harness.launch();
        QTRY_VERIFY_WITH_TIMEOUT(harness.events().filter("helper_exit").size() >= 11, 30000);
        sampler.stop();

        QCOMPARE_LE(mostAlive, 1);
        QVERIFY(mostAlive == 1 || !seenAlive);
        static const QRegularExpression timed(R"(^\S+ APP \S+ elapsed_s=(\S+) (.*)$)");
        double lastExit = -1.0, last = 0.0;
        int attempt = 0, early = 0;
        for (const QString& line : harness.logLines()) {
            const auto match = timed.match(line);
            const double at = match.captured(1).toDouble();
            if (match.captured(2).startsWith("helper_exit"))
                lastExit = at;
            if (!match.captured(2).startsWith("helper_launch_begin"))
                continue;
            QCOMPARE(match.captured(2), QString("helper_launch_begin attempt=%1").arg(++attempt));
            // A failed poll may start the agent sooner; the restart comes one
            // second after the exit.
            if (lastExit >= 0)
                QCOMPARE_LT(at - lastExit, 1.4);
            early += lastExit >= 0 && at - lastExit < 0.99;
            last = at;
        }
        QVERIFY(attempt >= 11);
        // Polls come every 3 s; each may start one agent, the first ones one more.
        QCOMPARE_LE(early, int(last / 3.0) + 2);
        QCOMPARE_LE(fewestDescriptors.value(10), fewestDescriptors.value(2));
    }

    // Each poll ends in time (a silent reply at the 1.5 s idle limit, a
    // dripping one at the 2 s limit of the whole exchange) and polls that
    // fall due meanwhile (every 0.7 s, and the refresh button every 50 ms)
    // are dropped rather than sent beside it: the next one reaches the agent
    // once the last has ended. Nonsense leaves the status at "starting"; the
    // heap held during a poll stays small and does not grow with the number
    // of replies read.
    void misbehavingAgent_data() {
        QTest::addColumn<FakeReply>("reply");
        QTest::addColumn<int>("polls");
        QTest::addColumn<int>("shortestMs");
        QTest::addColumn<int>("longestMs"); // the limit, the refresh button's 50 ms and margin
        QTest::addColumn<int>("peakMiB");   // the fake's own copies of a 10 MiB body count too
        QByteArray garbage(64 * 1024, '\0'), huge = healthBody("1.0.0"), badUtf8 = huge;
        for (qsizetype i = 0; i < garbage.size(); ++i)
            garbage[i] = char((i * 7919 + 13) % 256);
        huge.insert(1, "\"padding\":\"" + QByteArray(10 << 20, 'x') + "\",");
        badUtf8.replace("device-1", "device-\xff\xfe\xc3");
        const FakeReply drips{.body = healthBody("1.0.0"), .drip = 100ms};
        QTest::newRow("never answers") << FakeReply{.hang = true} << 4 << 1400 << 1900 << 16;
        QTest::newRow("drips") << drips << 4 << 1850 << 2400 << 16;
        QTest::newRow("garbage") << FakeReply{.body = garbage} << 22 << 0 << 1000 << 16;
        QTest::newRow("10 MiB") << FakeReply{.body = huge} << 22 << 0 << 1000 << 128;
        QTest::newRow("invalid UTF-8") << FakeReply{.body = badUtf8} << 22 << 0 << 1000 << 16;
        QTest::newRow("endless") << FakeReply{.endless = true} << 22 << 0 << 1000 << 16;
    }

    void misbehavingAgent() {
        QFETCH(FakeReply, reply);
        QFETCH(int, polls);
        QFETCH(int, shortestMs);
        QFETCH(int, longestMs);
        QFETCH(int, peakMiB);
        FakeAgent agent;
        agent.setReply(healthPath, reply);
        AppHarness harness;
        pointAt(harness, agent.baseUrl());
        harness.config.pollInterval = 0.7;
        QElapsedTimer clock;
        QList<qint64> arrivals;        // of each poll at the agent, ms
        QMap<qsizetype, qint64> floor; // the least heap in use while each poll ran
        qint64 most = 0;
        QTimer presser, sampler;
        connect(&presser, &QTimer::timeout, this, [&] { harness.delegate->refreshNow(); });
        connect(&sampler, &QTimer::timeout, this, [&] {
            const qint64 heap = heapInUse();
            while (arrivals.size() < agent.requestCount(healthPath))
                arrivals.append(clock.elapsed());
            floor[arrivals.size()] = std::min(floor.value(arrivals.size(), heap), heap);
            most = arrivals.size() > 2 ? std::max(most, heap) : heap;
        });
        clock.start();
        sampler.start(2);
        AppDelegate& delegate = harness.launch();
        presser.start(50);
        QTRY_VERIFY_WITH_TIMEOUT(arrivals.size() > polls, 15000);
        presser.stop();

        for (qsizetype i = 1; i < polls; ++i) {
            QCOMPARE_GE(arrivals[i] - arrivals[i - 1], shortestMs);
            QCOMPARE_LE(arrivals[i] - arrivals[i - 1], longestMs);
        }
        QCOMPARE_LT(floor[polls] - floor[2], 1 << 20);
        QCOMPARE_LT((most - floor[2]) >> 20, peakMiB);
        QCOMPARE(delegate.window()->statusTitle()->text(), startingTitle);
        QVERIFY(!harness.logged("service_ready"));
    }
};

QTEST_MAIN(FaultAgentTest)
#include "tst_fault_agent.moc"
