// Agents that fail in the ways real ones do: crash at once, accept and never
// answer, drip their reply, or answer nonsense. The controller runs with its
// real timers; what it does is read back from the log, the process table and
// its own state.

#include "support/AppHarness.h"
#include "support/FakeAgent.h"
#include "ui/MainWindow.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <algorithm>

#if defined(__SANITIZE_ADDRESS__)
#define KESTREL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTREL_ASAN 1
#endif
#endif
#ifdef KESTREL_ASAN
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(kestrel::test::FakeReply)

namespace {

const QString healthPath = QStringLiteral("/v1/health");
const QString startingTitle = QStringLiteral("Служба запускается…");

// A port nothing listens on: the system handed it out a moment ago.
quint16 closedPort() {
    FakeAgent gone;
    return gone.port();
}

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

// Bytes of heap the program holds, without what the allocator keeps for reuse
// (AddressSanitizer keeps freed memory in quarantine, so the resident size
// says little under it).
qint64 heapInUse() {
#ifdef KESTREL_ASAN
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
#endif
}

// Children of this process, not yet ended, that run `program`.
int runningChildren(const QString& program) {
    const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
    const QByteArray wanted = program.toUtf8();
    int count = 0;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (!pid.front().isDigit())
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid …"; the name may hold spaces and parentheses.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 2 || fields[0] == "Z" || fields[1] != self)
            continue;
        QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (commandLine.open(QIODevice::ReadOnly) && commandLine.readAll().contains(wanted))
            ++count;
    }
    return count;
}

struct Event {
    double elapsed = 0.0;
    QString text;
};

// The application's own events with their elapsed seconds, in order.
QList<Event> timedEvents(const AppHarness& harness) {
    static const QRegularExpression own(
        QStringLiteral(R"(^\S+ APP launch=[0-9A-F-]{36} elapsed_s=(\d+\.\d{3}) (.*)$)"));
    QList<Event> events;
    for (const QString& line : harness.logLines()) {
        const auto match = own.match(line);
        if (match.hasMatch())
            events.append({match.captured(1).toDouble(), match.captured(2)});
    }
    return events;
}

qsizetype countEvents(const AppHarness& harness, const QString& prefix) {
    const QStringList events = harness.events();
    return std::count_if(events.cbegin(), events.cend(),
                         [&](const QString& event) { return event.startsWith(prefix); });
}

// Sends the controller's requests nowhere: nothing answers the agent or the
// update host.
void pointAtNothing(AppHarness& harness) {
    const QUrl nowhere(QStringLiteral("http://127.0.0.1:%1").arg(closedPort()));
    harness.config.agentBaseUrl = nowhere;
    harness.config.privateAgentUrl = nowhere;
    harness.config.updateManifestUrl =
        QUrl(QStringLiteral("https://127.0.0.1:%1/latest.json").arg(closedPort()));
    harness.config.updateHost = QStringLiteral("127.0.0.1");
}

// A plain session that tells when a health poll is sent and when it ends:
// pollEnding before the controller handles the reply, pollEnded once it has.
class ObservedSession final : public QNetworkAccessManager {
    Q_OBJECT
public:
    using QNetworkAccessManager::QNetworkAccessManager;

signals:
    void pollStarted();
    void pollEnding();
    void pollEnded();

protected:
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest& request,
                                 QIODevice* body) override {
        QNetworkReply* reply = QNetworkAccessManager::createRequest(operation, request, body);
        if (request.url().path() == healthPath) {
            emit pollStarted();
            connect(reply, &QNetworkReply::finished, this, &ObservedSession::pollEnding);
            connect(reply, &QNetworkReply::finished, this, &ObservedSession::pollEnded,
                    Qt::QueuedConnection);
        }
        return reply;
    }
};

class ObservedSessions final : public NetworkFactory {
public:
    QNetworkAccessManager* create(QObject* parent) override {
        auto* session = new ObservedSession(parent);
        if (onCreate)
            onCreate(session);
        return session;
    }
    std::function<void(ObservedSession*)> onCreate;
};

} // namespace

class FaultAgentTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name);
    }

    // The agent exits as soon as it starts (or a moment later, long enough
    // for the process table to show it), ten times over, with the real poll
    // timer running beside the restarts.
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
        pointAtNothing(harness);
        harness.installAgentScript(script);
        auto sessions = std::make_unique<ObservedSessions>();
        ObservedSessions* const observed = sessions.get();
        harness.networkFactory = std::move(sessions);
        AppDelegate& delegate = harness.create();

        int mostAlive = 0;
        // The fewest descriptors open during each cycle, by the number of
        // exits seen so far.
        QMap<qsizetype, int> fewestDescriptors;
        QTimer sampler;
        sampler.setInterval(5);
        connect(&sampler, &QTimer::timeout, this, [&] {
            mostAlive = std::max(mostAlive, runningChildren(harness.agentPath()));
            const qsizetype exits = countEvents(harness, QStringLiteral("helper_exit"));
            const int open = openDescriptors();
            fewestDescriptors[exits] = std::min(fewestDescriptors.value(exits, open), open);
        });
        // Attempts that a failed poll started rather than the restart.
        QSet<qint64> startedByPolls;
        qint64 attemptBeforePoll = 0;
        observed->onCreate = [&](ObservedSession* session) {
            connect(session, &ObservedSession::pollEnding, this,
                    [&] { attemptBeforePoll = delegate.state().helperAttempt; });
            connect(session, &ObservedSession::pollEnded, this, [&] {
                for (qint64 a = attemptBeforePoll + 1; a <= delegate.state().helperAttempt; ++a)
                    startedByPolls.insert(a);
            });
        };
        sampler.start();
        delegate.applicationDidFinishLaunching();
        QTRY_VERIFY_WITH_TIMEOUT(countEvents(harness, QStringLiteral("helper_exit")) >= 11, 30000);
        sampler.stop();

        QVERIFY2(mostAlive <= 1, qPrintable(QStringLiteral("%1 agents at once").arg(mostAlive)));
        if (seenAlive)
            QCOMPARE(mostAlive, 1);

        const QList<Event> events = timedEvents(harness);
        static const QRegularExpression begin(QRegularExpression::anchoredPattern(
            QStringLiteral(R"(helper_launch_begin attempt=(\d+))")));
        qint64 expectedAttempt = 1;
        double lastExit = -1.0;
        for (const Event& event : events) {
            if (event.text.startsWith(QStringLiteral("helper_exit")))
                lastExit = event.elapsed;
            const auto match = begin.match(event.text);
            if (!match.hasMatch())
                continue;
            const qint64 attempt = match.captured(1).toLongLong();
            QCOMPARE(attempt, expectedAttempt++);
            // A failed poll may start the agent before the restart is due;
            // otherwise the restart comes one second after the exit.
            if (lastExit < 0 || startedByPolls.contains(attempt))
                continue;
            const double delay = event.elapsed - lastExit;
            QVERIFY2(
                delay >= 0.99 && delay < 1.4,
                qPrintable(
                    QStringLiteral("attempt %1 came %2 s after the exit").arg(attempt).arg(delay)));
        }
        QVERIFY(expectedAttempt >= 12);
        // Polls come every 3 s; each may start one agent, and the first
        // ones after the launch one more.
        const double duration = events.last().elapsed;
        QVERIFY2(startedByPolls.size() <= int(duration / 3.0) + 2,
                 qPrintable(QStringLiteral("%1 starts by polls in %2 s")
                                .arg(startedByPolls.size())
                                .arg(duration)));

        // Every cycle gets back to the same descriptors.
        QVERIFY2(fewestDescriptors.value(10) <= fewestDescriptors.value(2),
                 qPrintable(QStringLiteral("%1 descriptors in cycle 2, %2 in cycle 10")
                                .arg(fewestDescriptors.value(2))
                                .arg(fewestDescriptors.value(10))));
    }

    // Replies that never complete: a silent one ends at the 1.5-second idle
    // limit, a dripping one at the 2-second limit of the whole exchange, and
    // polls that fall due meanwhile (every 0.7 s here, and the refresh
    // button) are dropped rather than sent beside it.
    void pollsThatNeverComplete_data() {
        QTest::addColumn<FakeReply>("reply");
        QTest::addColumn<int>("shortestMs");
        QTest::addColumn<int>("longestMs");
        QTest::newRow("never answers") << FakeReply{.hang = true} << 1400 << 1800;
        QTest::newRow("drips its body")
            << FakeReply{.body = healthBody(QStringLiteral("1.0.0")), .drip = 100ms} << 1850
            << 2300;
    }

    void pollsThatNeverComplete() {
        QFETCH(FakeReply, reply);
        QFETCH(int, shortestMs);
        QFETCH(int, longestMs);
        FakeAgent agent;
        QVERIFY(agent.isListening());
        agent.setReply(healthPath, reply);
        AppHarness harness;
        pointAtNothing(harness);
        harness.config.agentBaseUrl = agent.baseUrl();
        harness.config.pollInterval = 0.7;
        harness.installAgentScript("exec sleep 60");

        auto sessions = std::make_unique<ObservedSessions>();
        ObservedSessions* const observed = sessions.get();
        harness.networkFactory = std::move(sessions);

        QElapsedTimer clock;
        clock.start();
        QList<QPair<qint64, qint64>> polls; // start and end of each health poll
        observed->onCreate = [&](ObservedSession* session) {
            connect(session, &ObservedSession::pollStarted, this, [&] {
                polls.append({clock.elapsed(), -1});
            });
            connect(session, &ObservedSession::pollEnding, this,
                    [&] { polls.last().second = clock.elapsed(); });
        };
        // The refresh button, pressed again and again while a poll is out.
        QTimer presser;
        presser.setInterval(50);
        connect(&presser, &QTimer::timeout, this, [&] { harness.delegate->refreshNow(); });
        harness.launch();
        presser.start();
        QTRY_VERIFY_WITH_TIMEOUT(polls.size() >= 4 && polls[3].second >= 0, 15000);
        presser.stop();

        for (qsizetype i = 0; i < polls.size(); ++i) {
            const auto [start, end] = polls[i];
            if (end < 0)
                continue;
            QVERIFY2(end - start >= shortestMs && end - start <= longestMs,
                     qPrintable(QStringLiteral("poll %1 took %2 ms").arg(i).arg(end - start)));
            if (i > 0)
                QVERIFY2(
                    start >= polls[i - 1].second,
                    qPrintable(QStringLiteral("poll %1 began before the one before ended").arg(i)));
        }
        // Nothing was sent besides the polls seen.
        QTRY_COMPARE(agent.requestCount(healthPath), int(polls.size()));
        QCOMPARE(harness.delegate->window()->statusTitle()->text(), startingTitle);
        QVERIFY(!harness.delegate->state().isAgentReady);
    }

    // Nonsense replies: nothing crashes, the status stays "starting", and the
    // memory used does not grow with the number of replies read.
    void nonsenseReplies_data() {
        QTest::addColumn<QByteArray>("body");
        QByteArray garbage(64 * 1024, '\0');
        for (qsizetype i = 0; i < garbage.size(); ++i)
            garbage[i] = char((i * 7919 + 13) % 256);
        QTest::newRow("garbage") << garbage;
        QByteArray huge = healthBody(QStringLiteral("1.0.0"));
        huge.insert(1, "\"padding\":\"" + QByteArray(10 * 1024 * 1024, 'x') + "\",");
        QTest::newRow("10 MiB") << huge;
        QByteArray badUtf8 = healthBody(QStringLiteral("1.0.0"));
        badUtf8.replace("device-1", "device-\xff\xfe\xc3");
        QTest::newRow("invalid UTF-8") << badUtf8;
    }

    void nonsenseReplies() {
        QFETCH(QByteArray, body);
        FakeAgent agent;
        QVERIFY(agent.isListening());
        agent.setReply(healthPath, FakeReply{.body = body});
        AppHarness harness;
        pointAtNothing(harness);
        harness.config.agentBaseUrl = agent.baseUrl();
        harness.config.pollInterval = 3600.0;
        harness.installAgentScript("exec sleep 60");
        AppDelegate& delegate = harness.launch();
        QTRY_VERIFY(harness.logged(QStringLiteral("health_result")) &&
                    !delegate.state().refreshInFlight);

        const auto pollOnce = [&] {
            // The fake agent's record of requests is memory of this process too.
            agent.clearRequests();
            delegate.refreshNow();
            return QTest::qWaitFor(
                [&] {
                    return agent.requestCount(healthPath) >= 1 && !delegate.state().refreshInFlight;
                },
                5000);
        };
        QVERIFY(pollOnce());
        QVERIFY(pollOnce());
        const qint64 before = heapInUse();
        for (int i = 0; i < 20; ++i) {
            QVERIFY(pollOnce());
        }
        const qint64 growth = heapInUse() - before;

        QVERIFY2(growth < 1024 * 1024, qPrintable(QStringLiteral("%1 bytes more").arg(growth)));
        QCOMPARE(delegate.window()->statusTitle()->text(), startingTitle);
        QVERIFY(!delegate.state().isAgentReady);
        QVERIFY(delegate.state().healthFailures >= 22);
        QCOMPARE(harness.events().filter(QStringLiteral("service_ready")).size(), 0);
    }

    // A reply without end, as fast as loopback carries it: the heap held
    // while the poll runs stays small instead of growing for two seconds.
    void endlessReply() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QByteArray chunk(1024 * 1024, ' ');
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* socket = server.nextPendingConnection();
            const auto pump = [socket, &chunk] {
                while (socket->bytesToWrite() < 4 * chunk.size())
                    socket->write(chunk);
            };
            connect(socket, &QTcpSocket::readyRead, socket, [socket, pump] {
                socket->readAll();
                socket->write(
                    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{\"ok\": \"");
                pump();
                connect(socket, &QTcpSocket::bytesWritten, socket, pump);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        });
        AppHarness harness;
        pointAtNothing(harness);
        harness.config.agentBaseUrl =
            QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()));
        harness.config.pollInterval = 3600.0;
        harness.installAgentScript("exec sleep 60");
        const qint64 before = heapInUse();
        qint64 most = before;
        QTimer sampler;
        sampler.setInterval(2);
        connect(&sampler, &QTimer::timeout, this, [&] { most = std::max(most, heapInUse()); });
        sampler.start();
        AppDelegate& delegate = harness.launch();
        QTRY_VERIFY_WITH_TIMEOUT(harness.logged(QStringLiteral("health_result")), 5000);
        sampler.stop();

        QVERIFY2(most - before < 16 * 1024 * 1024,
                 qPrintable(QStringLiteral("%1 MiB more at most").arg((most - before) >> 20)));
        QCOMPARE(harness.events()
                     .filter(QStringLiteral("health_result"))
                     .value(0)
                     .section(QStringLiteral(" request_s="), 0, 0),
                 QStringLiteral("health_result http=200 error=QNetworkReply:5 valid=false "
                                "version=none"));
        QCOMPARE(delegate.window()->statusTitle()->text(), startingTitle);
    }
};

QTEST_MAIN(FaultAgentTest)
#include "tst_fault_agent.moc"
