// The reference agent: its request handling and state called directly, its
// HTTP service in this process, and the built agent as a real process on
// port 43127. Replies are read with the application's own decoders.
#include "BundleVersion.h"
#include "DataStore.h"
#include "HttpService.h"
#include "agentclient/AgentHealth.h"
#include "agentclient/PrintersResponse.h"
#include "pairing/PairingPreview.h"
#include "platform/BundleInfo.h"
#include "support/Files.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <boost/asio/io_context.hpp>
#include <csignal>
#include <latch>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>

using namespace kestrel::agent;
using kestrel::test::writeFile;
using namespace std::chrono_literals;

namespace {

const std::string secret(72, 'k'), goodToken(64, 'a');
const char* const resume = "/v1/app/resume";
const char* const preview = "/v1/app/pairing-preview";
const QByteArray healthRequest = "GET /v1/health HTTP/1.1\r\nHost: localhost\r\n\r\n";

QByteArray bytes(const std::string& text) {
    return QByteArray::fromStdString(text);
}

std::string tokenBody(const std::string& token) {
    return R"({"pairingToken":")" + token + "\"}";
}

Request get(const char* path, const char* host = "localhost:43127") {
    return {"GET", path, {{"Host", host}}, {}};
}

Request post(const char* path, std::string body = "{}", std::optional<std::string> key = secret,
             const char* type = "application/json") {
    Request request{"POST", path, {{"Host", "127.0.0.1"}}, std::move(body)};
    if (type)
        request.headers.emplace("Content-Type", type);
    if (key)
        request.headers.emplace("X-Kestrel-App", *key);
    return request;
}

// The request byte for byte, its headers exactly as given.
QByteArray wire(const Request& request) {
    QByteArray text = bytes(request.method + ' ' + request.path + " HTTP/1.1\r\n");
    for (const auto& [name, value] : request.headers)
        text += bytes(name + ": " + value + "\r\n");
    return text + "Content-Length: " + QByteArray::number(request.body.size()) +
           "\r\nConnection: close\r\n\r\n" + bytes(request.body);
}

struct Reply {
    int status = 0; // 0: closed without a reply
    QByteArray body, head;
    qint64 closedAfterMs = 0;
};

// `request` sent to the agent's port at once, or a byte every `trickleMs`.
Reply exchange(const QByteArray& request, int trickleMs = 0,
               const QHostAddress& address = QHostAddress::LocalHost) {
    QTcpSocket socket;
    socket.connectToHost(address, agentPort);
    const qint64 started = QDeadlineTimer::current().deadline();
    const qsizetype piece = trickleMs > 0 ? 1 : request.size();
    for (qsizetype at = 0; socket.waitForConnected(3000) && at < request.size(); at += piece) {
        socket.write(request.mid(at, piece));
        socket.waitForReadyRead(trickleMs); // the pace of a trickle; what came is kept
    }
    while (socket.waitForReadyRead(3000)) {
    }
    const QByteArray reply = socket.readAll();
    const int status = reply.startsWith("HTTP/1.1 ") ? reply.mid(9, 3).toInt() : 0;
    const qsizetype end = reply.indexOf("\r\n\r\n");
    return {status, reply.mid(end + 4), reply.left(end + 2),
            QDeadlineTimer::current().deadline() - started};
}

Reply send(const Request& request) {
    return exchange(wire(request));
}

bool serving() {
    return send(get("/v1/health")).status == 200;
}

// The HTTP service in this process, on its own loop thread.
struct InProcessAgent {
    InProcessAgent(const Agent& agent, ServiceLimits limits) : service(loop, agent, limits) {
        if (!service.bind(agentPort, error))
            return;
        service.start();
        thread = std::jthread([this] { loop.run(); });
    }
    ~InProcessAgent() { service.stop(); } // the loop ends, and the thread is joined

    boost::asio::io_context loop;
    HttpService service;
    std::string error;
    std::jthread thread;
};

} // namespace

class TestAgent : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;    // holds the data folder of every agent here
    QTcpServer m_silentCups; // accepts connections and never answers
    DataStore m_store{m_root.filePath("KestrelAgent").toStdString()};

    // The version is not UTF-8, which must not break the health reply.
    Agent agent(PrinterSource printers = {}, std::optional<std::string> appSecret = secret,
                Agent::Now now = Clock::now) {
        return {{"1.0\xff", "linux", "x86_64"}, m_store,   std::move(printers),
                std::move(appSecret),           agentPort, std::move(now)};
    }

private slots:
    void initTestCase() {
        QVERIFY2(!serving(), "port 43127 is already served by another process");
        QVERIFY(m_silentCups.listen(QHostAddress::LocalHost));
        // What every agent started here inherits.
        qputenv("XDG_DATA_HOME", m_root.path().toUtf8());
        qputenv("KESTREL_APP_SECRET", bytes(secret));
        qputenv("CUPS_SERVER", "127.0.0.1:" + QByteArray::number(m_silentCups.serverPort()));
        // Orphaned agents are ours to reap.
        QCOMPARE(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }

    // What any local process or web page may send, the application's own
    // requests among them: each is answered, refused with a status, or closed
    // before it costs more than the limits allow.
    void requestsAnsweredOrRefused_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status"); // 0: closed without a reply
        const auto row = [](const char* name, const QByteArray& request, int status) {
            QTest::newRow(name) << request << status;
        };
        for (const char* host : {"localhost", "LocalHost:43127", "127.0.0.1", "[::1]:43127"})
            row(host, wire(get("/v1/health", host)), 200);
        for (const char* host : {"localhost.evil.example", "127.0.0.1.evil.example", "localhostx",
                                 "127.0.0.2", "localhost:8080", "localhost:", "localhost:043127",
                                 "::1", "[::1", "[::1]x", "evil@localhost", ""})
            row(host, wire(get("/v1/printers", host)), 403);
        row("no host", wire({"GET", "/v1/health", {}, {}}), 403);
        row("two hosts", wire({"GET", "/", {{"Host", "localhost"}, {"Host", "x"}}, {}}), 403);
        row("unknown path", wire(post("/v1/app/resume/")), 404);
        row("health by POST", wire(post("/v1/health")), 405);
        row("action by GET", wire(get(resume)), 405);
        row("no key", wire(post(resume, "{}", std::nullopt)), 403);
        row("wrong key", wire(post(resume, "{}", secret.substr(0, 71) + "0")), 403);
        row("longer key", wire(post(resume, "{}", secret + "0")), 403);
        row("no type", wire(post(resume, "{}", secret, nullptr)), 415);
        row("type, charset", wire(post(resume, "{}", secret, "Application/JSON ; q")), 200);
        row("array", wire(post(resume, "[]")), 400);
        row("not JSON", wire(post(resume, "{pairingToken:")), 400);
        row("no token", wire(post(preview)), 400);
        row("token a number", wire(post(preview, R"({"pairingToken":1})")), 400);
        row("token not ASCII",
            wire(post(preview, tokenBody(QString(32, QChar(0x416)).toStdString()))), 400);
        row("not HTTP", "\x16\x03\x01\x02\x00\r\n\r\n", 400);
        row("63 characters", wire(post(preview, tokenBody(goodToken.substr(1)))), 400);
        row("with =", wire(post(preview, tokenBody(goodToken.substr(1) + "="))), 400);
        row("_ and -", wire(post(preview, tokenBody("-_" + goodToken.substr(2)))), 200);

        const std::string longest = "{\"x\":\"" + std::string(64 * 1024 - 8, 'x') + "\"}";
        row("body as long as allowed", wire(post(resume, longest)), 200);
        row("body a byte too long", wire(post(resume, longest + ' ')), 413);
        const QByteArray chunks = "Transfer-Encoding: chunked\r\n\r\n" +
                                  ("4000\r\n" + QByteArray(0x4000, '{') + "\r\n").repeated(8);
        const QByteArray app = wire(post(resume));
        row("chunked body past the limit", app.left(app.indexOf("Content-Length")) + chunks, 413);
        row("chunked body, unknown path",
            "POST /nonexistent HTTP/1.1\r\nHost: localhost\r\n" + chunks + chunks.repeated(7), 404);
        // The parser's limit is not exact to the byte: a margin either side.
        const QByteArray header = healthRequest.chopped(2) + "X: ";
        row("header under 8 KiB", header + QByteArray(8000 - 49, 'p') + "\r\n\r\n", 200);
        row("header of 9 KiB", header + QByteArray(9 * 1024 - 49, 'p') + "\r\n\r\n", 431);
        row("request line without an end", "GET /" + QByteArray(1 << 20, 'a'), 431);
        row("nothing sent", {}, 0);
        // A byte every 50 ms.
        row("header trickled", header + QByteArray("y\r\nX: ").repeated(6), 0);
    }

    void requestsAnsweredOrRefused() {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        const Agent a = agent();
        const InProcessAgent service(a,
                                     {.headerTime = 300ms, .bodyTime = 300ms, .idleTime = 300ms});
        QVERIFY2(service.error.empty(), service.error.c_str());
        const bool trickled = QTest::currentDataTag() == QByteArray("header trickled");
        const Reply reply = exchange(request, trickled ? 50 : 0);
        QCOMPARE(reply.status, status);
        // Within the 300 ms limits (and the second of draining after a refusal).
        QCOMPARE_LT(reply.closedAfterMs, 2500);
        QCOMPARE(reply.body.contains("\"error\":\""), status != 0 && status != 200);
        // A 405 names the method that is allowed.
        QCOMPARE(reply.head.contains("\r\nAllow: "), status == 405);
    }

    // The print system's answer is given again instead of asking it anew while
    // it is younger than 30 s, unless a request asks for a fresh one.
    void printerListKeptForItsLifetime() {
        QVERIFY(!answerFromCache({}, std::nullopt) && answerFromCache({}, 29999ms));
        QVERIFY(!answerFromCache({}, 30000ms) && !answerFromCache({{"Pragma", "no-cache"}}, 0ms));
        QVERIFY(!answerFromCache(
            {{"cache-control", "max-age=5"}, {"Cache-Control", "x, No-Cache "}}, 0ms));
        QVERIFY(answerFromCache(
            {{"Cache-Control", "no-store, no-cachex"}, {"X-Pragma", "no-cache"}}, 0ms));

        // The agent keeps each answer it gets, by its own clock.
        int asked = 0;
        Clock::time_point now{};
        const auto list = [&asked] { return PrinterList({{std::to_string(++asked), true}}); };
        const Agent a = agent(list, secret, [&now] { return now; });
        const auto kept = [&a] {
            return bytes(a.answerAtOnce(get("/v1/printers")).value_or(Response{}).body);
        };
        const Request fresh{
            "GET", "/v1/printers", {{"Host", "localhost"}, {"Pragma", "no-cache"}}, {}};
        a.handle(get("/v1/printers"));
        now += 29999ms;
        QVERIFY(kept().contains("\"name\":\"1\"") && !a.answerAtOnce(fresh));
        QVERIFY(bytes(a.handle(fresh).body).contains("\"name\":\"2\"") && kept().contains("\"2\""));
    }

    // The signing record health reports: none until a pairing is confirmed,
    // then what the preview showed; none again when its file is damaged.
    void signingRecordFollowsPairing() {
        // With an empty secret, nobody is the application.
        QCOMPARE(agent({}, "").handle(post(resume, "{}", "")).status, 403);
        const Agent a = agent();
        const auto signing = [&a] {
            const auto health =
                kestrel::AgentHealth::fromBody(bytes(a.handle(get("/v1/health")).body));
            return health ? health->signing() : std::nullopt;
        };
        const auto shown = kestrel::decodePairingPreview(
            bytes(a.handle(post(preview, tokenBody(goodToken))).body));
        QVERIFY(shown && signing() && !signing()->configured()); // a preview does not pair

        QCOMPARE(a.handle(post("/v1/app/pairing-confirm", tokenBody(goodToken))).status, 200);
        const auto on = signing();
        QVERIFY(on && on->configured() && on->enabled());
        QCOMPARE(on->organizationName().value_or(""), shown->organizationName);
        const kestrel::PairingFunctions& set = shown->settings;
        QVERIFY(
            std::tuple(on->autoSign(), on->renewTrueApi(), on->renewSuz(), on->autoPrepareFbs()) ==
            std::tuple(set.autoSign, set.renewTrueApi, set.renewSuz, set.autoPrepareFbs));

        for (const char* damaged : {"", "{", "[]", "{\"organizationName\":1}"}) {
            writeFile(m_root.filePath(QString("KestrelAgent/") + DataStore::pairingFile), damaged);
            QVERIFY2(!signing()->configured(), damaged);
        }
    }

    // An Info.plist (none for a null one) read from a bundle by the agent and
    // by the application: they must agree, or the application takes its own
    // agent for a foreign one. Each committed fuzz seed is a row too (the
    // build's own file, DOCTYPE identifiers with > and ], CR line ends in
    // CDATA, a value that is not a string), where agreement is all that is asked.
    void versionAsTheApplicationReads_data() {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("version");
        const QByteArray plist = "<plist><dict><key>CFBundleShortVersionString</key><string>1.2.3"
                                 "</string></dict></plist>";
        const qint64 most = kestrel::maximumInfoPlistBytes; // spaces after the end pad it
        QTest::newRow("no key") << QByteArray(plist).replace("Short", "") << "0.5.5";
        QTest::newRow("not in a dict") << QByteArray(plist).replace("dict>", "array>") << "0.5.5";
        QTest::newRow("no file") << QByteArray() << "0.5.5";
        QTest::newRow("unterminated doctype") << "<!DOCTYPE plist \"plist.dtd>" + plist << "0.5.5";
        QTest::newRow("not a string, then one")
            << QByteArray(plist).replace("<string>", "<integer>2</integer><string>") << "0.5.5";
        QTest::newRow("line ends")
            << QByteArray(plist).replace("1.2.3", "\r\n1.2\r.3<![CDATA[\r\n]]>&#13;")
            << "\n1.2\n.3\n\r";
        QTest::newRow("as long as allowed") << plist.leftJustified(most) << "1.2.3";
        QTest::newRow("too long") << plist.leftJustified(most + 1) << "0.5.5";
        const QDir seeds(KESTREL_INFO_PLIST_SEEDS);
        QVERIFY(!seeds.isEmpty(QDir::Files));
        for (const QFileInfo& seed : seeds.entryInfoList(QDir::Files))
            QTest::addRow("seed %s", qPrintable(seed.fileName()))
                << kestrel::test::fileContents(seed.filePath()) << QString();
    }

    void versionAsTheApplicationReads() {
        QFETCH(QByteArray, document);
        QFETCH(QString, version);
        const QTemporaryDir bundle;
        const QString plist = bundle.filePath("Contents/Info.plist");
        if (!document.isNull())
            writeFile(plist, document);
        const QString agent = QString::fromStdString(bundleVersion(plist.toStdString()));
        QCOMPARE(agent, kestrel::bundleVersion(bundle.path()));
        if (!version.isNull())
            QCOMPARE(agent, version);
    }

    // At the connection limit a new connection closes one of those there
    // first: the longest idle, and one waiting for the print system only
    // when none is idle. A reply leaves as soon as it is written, not after
    // the client's delayed acknowledgement (about 40 ms on every request).
    void connectionLimitClosesTheLongestIdle() {
        std::latch release(1); // the print system answers once the test is over
        std::atomic<int> asked = 0;
        const Agent a = agent([&] {
            ++asked;
            release.wait();
            return PrinterList();
        });
        const InProcessAgent service(a, {.idleTime = 1min, .connections = 2});
        const auto releaseFirst = qScopeGuard([&release] { release.count_down(); });
        QVERIFY2(service.error.empty(), service.error.c_str());
        // One after the other as the agent sees them: an idle one has had its
        // reply, one asking for printers waits for the print system.
        const auto open = [&asked](QTcpSocket& socket, bool printers) {
            socket.connectToHost(QHostAddress::LocalHost, agentPort);
            socket.write(printers ? "GET /v1/printers HTTP/1.1\r\nHost: localhost\r\n\r\n"
                                  : healthRequest);
            const int waiting = asked + printers;
            return QTest::qWaitFor(
                [&] { return printers ? asked == waiting : socket.bytesAvailable() > 0; });
        };
        // A new connection closes `closed` and leaves `kept`.
        const auto closes = [](const QTcpSocket& closed, const QTcpSocket& kept) {
            const auto gone = [&closed] { return closed.state() == QTcpSocket::UnconnectedState; };
            return send(get("/v1/health")).status == 200 && QTest::qWaitFor(gone) &&
                   kept.state() == QTcpSocket::ConnectedState;
        };
        QTcpSocket first[4];
        QVERIFY(open(first[0], false) && open(first[1], false) && closes(first[0], first[1]));
        QVERIFY(open(first[2], true) && closes(first[1], first[2]));
        QVERIFY(open(first[3], true) && closes(first[2], first[3]));

        // The agent's end of the connection kept, in this process.
        int noDelay = 0;
        for (const QString& fd : QDir("/proc/self/fd").entryList(QDir::System | QDir::Files)) {
            sockaddr_in peer{};
            socklen_t size = sizeof peer, length = sizeof noDelay;
            if (::getpeername(fd.toInt(), reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
                ntohs(peer.sin_port) == first[3].localPort())
                ::getsockopt(fd.toInt(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length);
        }
        QVERIFY(noDelay);
    }

    // The built agent: its replies as the application reads them, one agent
    // per port, an end by SIGTERM despite a kept-alive connection, and an end
    // when its parent is gone.
    void runningAgent() {
        QProcess agent;
        agent.start(KESTREL_AGENT_EXECUTABLE);
        QVERIFY(QTest::qWaitFor(serving, 5000)); // start-up time is not the subject
        const auto health = kestrel::AgentHealth::fromBody(send(get("/v1/health")).body);
        QVERIFY(health && health->signing());
        // The identifier its data folder holds, over either address.
        QCOMPARE(health->deviceId(), QString::fromStdString(m_store.deviceId()));
        // A folder that cannot be made leaves an identifier for this run only.
        const DataStore nowhere("/proc/self/kestrel");
        QVERIFY(m_store.deviceIdPersistent() && !nowhere.deviceIdPersistent() &&
                !nowhere.deviceId().empty());
        QVERIFY(exchange(wire(get("/v1/health", "[::1]:43127")), 0, QHostAddress::LocalHostIPv6)
                    .body.contains(health->deviceId().toUtf8()));
        // A second agent cannot share the port and leaves it to the first.
        QProcess second;
        second.start(KESTREL_AGENT_EXECUTABLE);
        QVERIFY(second.waitForFinished(5000) && second.exitCode() != 0);

        // The print system does not answer; the application waits 2 s for a reply.
        const Reply list = send(get("/v1/printers"));
        QVERIFY2(list.closedAfterMs < 2000, qPrintable(QString::number(list.closedAfterMs)));
        const auto printers = kestrel::PrintersResponse::fromBody(list.body);
        QVERIFY(printers && !printers->ok() && printers->printers().empty());
        // Refusals explain themselves in Russian, and reach the log as one
        // summary, written at the latest when the agent stops.
        for (int i = 0; i < 50; ++i)
            QVERIFY(send(get("/v1/health", "evil.example")).body.contains("Запрос отклонён"));
        // The application keeps its connection open between polls.
        QTcpSocket idle;
        idle.connectToHost(QHostAddress::LocalHost, agentPort);
        idle.write(healthRequest);
        QVERIFY(idle.waitForReadyRead(3000));
        agent.terminate();
        QVERIFY(agent.waitForFinished(3000) && agent.exitStatus() == QProcess::NormalExit);
        QCOMPARE(agent.exitCode(), 0);
        const QByteArray output = agent.readAllStandardOutput();
        QVERIFY2(output.contains("refused_requests count=50 by_status=403:50\n"), output);
        // Of the many health polls, only the first is written, and no refusal.
        QCOMPARE(output.count("path=/v1/health status="), 1);

        // SIGTERM stays blocked in an agent whose parent ends, so that the
        // signal the kernel sends it then cannot end it: only its own watch can.
        QProcess parent;
        parent.setChildProcessModifier([] {
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            ::sigprocmask(SIG_BLOCK, &term, nullptr);
        });
        parent.start("/bin/sh",
                     {"-c", R"("$0" >/dev/null 2>&1 & echo $!; wait)", KESTREL_AGENT_EXECUTABLE});
        QVERIFY(parent.waitForReadyRead(3000));
        pid_t orphan = parent.readLine().trimmed().toInt();
        const auto reap = qScopeGuard([&orphan] {
            if (orphan > 0 && ::kill(orphan, SIGKILL) == 0)
                ::waitpid(orphan, nullptr, 0);
        });
        QVERIFY(orphan > 0 && QTest::qWaitFor(serving, 5000));

        parent.kill();
        QVERIFY(
            QTest::qWaitFor([&] { return ::waitpid(orphan, nullptr, WNOHANG) == orphan; }, 3000));
        orphan = 0;

        // A poll is written when its outcome changes, saying how many repeats
        // were left out. Anyone can send refused requests at any rate: they
        // are counted, and each summary counts those since the last one.
        RequestLog log;
        QVERIFY(log.line("GET", "/v1/health", 200) && !log.line("GET", "/v1/health", 200));
        QVERIFY(!log.line("GET", "/v1/health", 404) && !log.line("POST", "/v1/health", 405));
        QCOMPARE(log.line("GET", "/v1/health", 500).value_or(""),
                 "request method=GET path=/v1/health status=500 repeats_not_logged=1");
        QVERIFY(log.refusalSummary() == "refused_requests count=2 by_status=404:1,405:1");
        QVERIFY(!log.refusalSummary() && !log.hasRefusals());
    }
};

QTEST_GUILESS_MAIN(TestAgent)
#include "test_agent.moc"
