// The reference agent: its request handling and state called directly, its
// HTTP service in this process, and the built agent as a real process on
// port 43127. Replies are read with the application's own decoders.
#include "AgentCore.h"
#include "BundleVersion.h"
#include "DataStore.h"
#include "HttpService.h"
#include "agentclient/AgentHealth.h"
#include "agentclient/PrintersResponse.h"
#include "pairing/PairingPreview.h"
#include "platform/BundleInfo.h"
#include "support/ProcessCounters.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <boost/asio/io_context.hpp>
#include <csignal>
#include <future>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>

using namespace kestrel::agent;

Q_DECLARE_METATYPE(Headers)

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

bool put(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

Request get(const char* path, const char* host = "localhost:43127") {
    return {"GET", path, {{"Host", host}}, {}};
}

Request post(const char* path, std::string body = "{}", std::optional<std::string> key = secret,
             const char* type = "application/json") {
    Request request{"POST", path, {{"Host", "127.0.0.1"}}, std::move(body)};
    if (key)
        request.headers.emplace("X-Kestrel-App", *key);
    if (type)
        request.headers.emplace("Content-Type", type);
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
    QByteArray head;
    QByteArray body;
    qint64 closedAfterMs = 0;
};

// `request` sent to the agent's port at once, or a byte every `trickleMs`.
Reply exchange(const QByteArray& request, int trickleMs = 0,
               const QHostAddress& address = QHostAddress::LocalHost) {
    QTcpSocket socket;
    socket.connectToHost(address, agentPort);
    QElapsedTimer clock;
    clock.start();
    const qsizetype piece = trickleMs > 0 ? 1 : request.size();
    for (qsizetype at = 0; socket.waitForConnected(3000) && at < request.size(); at += piece) {
        socket.write(request.mid(at, piece));
        socket.waitForReadyRead(trickleMs); // the pace of a trickle; what came is kept
    }
    while (socket.waitForReadyRead(3000)) {
    }
    const QByteArray reply = socket.readAll();
    const qsizetype end = reply.indexOf("\r\n\r\n");
    const int status = reply.startsWith("HTTP/1.1 ") ? reply.mid(9, 3).toInt() : 0;
    return {status, reply.left(end), reply.mid(end + 4), clock.elapsed()};
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
        if (service.bind(agentPort, error)) {
            service.start();
            thread = std::thread([this] { loop.run(); });
        }
    }
    ~InProcessAgent() {
        service.stop();
        if (thread.joinable())
            thread.join();
    }

    boost::asio::io_context loop;
    HttpService service;
    std::thread thread;
    std::string error;
};

} // namespace

class TestAgent : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;    // holds the data folder of every agent here
    QTcpServer m_silentCups; // accepts connections and never answers
    QString m_executable;    // in a bundle of version 9.8.7-test
    std::unique_ptr<DataStore> m_store;

    QString folder(const QString& file = {}) const {
        return m_root.filePath("KestrelAgent/" + file);
    }
    // The version is not UTF-8, which must not break the health reply.
    Agent agent(PrinterSource printers = {}, std::optional<std::string> appSecret = secret,
                Agent::Now now = Clock::now) {
        return {{"1.0\xff", "linux", "x86_64"}, *m_store,  std::move(printers),
                std::move(appSecret),           agentPort, std::move(now)};
    }

    void start(QProcess& process, const QString& program, const QStringList& arguments = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", m_root.path());
        env.insert("KESTREL_APP_SECRET", QString::fromStdString(secret));
        env.insert("CUPS_SERVER", "127.0.0.1:" + QString::number(m_silentCups.serverPort()));
        process.setProcessEnvironment(env);
        process.start(program, arguments);
    }

private slots:
    void initTestCase() {
        QVERIFY2(!serving(), "port 43127 is already served by another process");
        QVERIFY(m_silentCups.listen(QHostAddress::LocalHost));
        QCOMPARE(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); // orphaned agents are ours to reap
        const QString contents = m_root.filePath("KestrelAgent.app/Contents/");
        m_executable = contents + "Resources/PrintService/orvanta-print-agent";
        QVERIFY(QDir().mkpath(contents + "Resources/PrintService"));
        QVERIFY(QFile::copy(KESTREL_AGENT_EXECUTABLE, m_executable));
        m_store = std::make_unique<DataStore>(folder().toStdString());
        QVERIFY(put(contents + "Info.plist", "<plist><dict><key>CFBundleShortVersionString</key>"
                                             "<string>9.8.7-test</string></dict></plist>"));
    }

    // What any local process or web page may send, the application's own
    // requests among them: each is answered, refused with a status, or closed
    // before it costs more than the limits allow.
    void requestsAnsweredOrRefused_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");    // 0: closed without a reply
        QTest::addColumn<int>("trickleMs"); // a byte every so often; 0: all at once
        const auto row = [](const char* name, const QByteArray& request, int status,
                            int trickleMs = 0) {
            QTest::newRow(name) << request << status << trickleMs;
        };
        for (const char* host : {"localhost", "LocalHost:43127", "127.0.0.1", "[::1]:43127"})
            row(host, wire(get("/v1/health", host)), 200);
        for (const char* host : {"localhost.evil.example", "127.0.0.1.evil.example", "localhostx",
                                 "127.0.0.2", "localhost:8080", "localhost:", "localhost:043127",
                                 "::1", "[::1", "[::1]x", "evil@localhost", ""})
            row(host, wire(get("/v1/printers", host)), 403);
        row("no host", wire({"GET", "/v1/health", {}, {}}), 403);
        row("two hosts", wire({"GET", "/", {{"Host", "localhost"}, {"Host", "x"}}, {}}), 403);
        row("health by POST", wire(post("/v1/health")), 405);
        row("unknown path", wire(post("/v1/app/resume/")), 404);
        row("action by GET", wire(get(resume)), 405);
        row("no key", wire(post(resume, "{}", std::nullopt)), 403);
        row("wrong key", wire(post(resume, "{}", secret.substr(0, 71) + "0")), 403);
        row("longer key", wire(post(resume, "{}", secret + "0")), 403);
        row("no type", wire(post(resume, "{}", secret, nullptr)), 415);
        row("type, charset", wire(post(resume, "{}", secret, "Application/JSON ; q")), 200);
        row("array", wire(post(resume, "[]")), 400);
        row("no token", wire(post(preview)), 400);
        row("63 characters", wire(post(preview, tokenBody(goodToken.substr(1)))), 400);
        row("with =", wire(post(preview, tokenBody(goodToken.substr(1) + "="))), 400);
        row("number", wire(post(preview, "{\"pairingToken\":1}")), 400);
        row("_ and -", wire(post(preview, tokenBody("-_" + goodToken.substr(2)))), 200);

        const std::string longest = "{\"x\":\"" + std::string(64 * 1024 - 8, 'x') + "\"}";
        row("body as long as allowed", wire(post(resume, longest)), 200);
        row("body a byte too long", wire(post(resume, longest + ' ')), 413);
        QByteArray chunks = "Transfer-Encoding: chunked\r\n\r\n";
        for (int i = 0; i < 8; ++i)
            chunks += "4000\r\n" + QByteArray(0x4000, '{') + "\r\n";
        const QByteArray app = wire(post(resume));
        row("chunked body past the limit", app.left(app.indexOf("Content-Length")) + chunks, 413);
        row("chunked body, unknown path",
            "POST /nonexistent HTTP/1.1\r\nHost: localhost\r\n" + chunks + chunks.repeated(7), 404);
        // The parser's limit is not exact to the byte: a margin either side.
        const auto padded = [](int size) {
            return healthRequest.chopped(2) + "X: " + QByteArray(size - 49, 'p') + "\r\n\r\n";
        };
        row("header under 8 KiB", padded(8000), 200);
        row("header of 9 KiB", padded(9 * 1024), 431);
        row("request line without an end", "GET /" + QByteArray(1 << 20, 'a'), 431);
        row("not HTTP", "\x16\x03\x01\x02\x00\r\n\r\n", 400);
        row("nothing sent", {}, 0);
        row("header trickled", healthRequest.chopped(2) + QByteArray("X: y\r\n").repeated(6), 0,
            50);
    }

    void requestsAnsweredOrRefused() {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(int, trickleMs);
        ServiceLimits limits;
        limits.headerTime = limits.bodyTime = limits.idleTime = std::chrono::milliseconds(300);
        const Agent a = agent();
        const InProcessAgent service(a, limits);
        QVERIFY2(service.error.empty(), service.error.c_str());
        const Reply reply = exchange(request, trickleMs);
        QCOMPARE(reply.status, status);
        // Within the 300 ms limits (and the second of draining after a refusal).
        QCOMPARE_LT(reply.closedAfterMs, 2500);
        const QJsonDocument body = QJsonDocument::fromJson(reply.body);
        QCOMPARE(body["error"].isString(), status != 0 && status != 200);
        QCOMPARE(reply.head.contains("\r\nAllow: "), status == 405);
    }

    // Whether a printer request is answered at once from the print system's
    // answer of `ageMs` ago (-1: none yet) instead of asking it again; the
    // answer it gets either way is what follows at once.
    void printerListKeptForItsLifetime_data() {
        QTest::addColumn<Headers>("headers");
        QTest::addColumn<int>("ageMs");
        QTest::addColumn<bool>("kept");
        QTest::newRow("no answer yet") << Headers{} << -1 << false;
        QTest::newRow("younger than 30 s") << Headers{} << 29999 << true;
        QTest::newRow("30 s old") << Headers{} << 30000 << false;
        QTest::newRow("no-cache in a list, any case")
            << Headers{{"cache-control", "max-age=5"}, {"Cache-Control", "x, No-Cache "}} << 0
            << false;
        QTest::newRow("Pragma") << Headers{{"Pragma", "no-cache"}} << 0 << false;
        QTest::newRow("other directives")
            << Headers{{"Cache-Control", "no-store, no-cachex"}, {"X-Pragma", "no-cache"}} << 0
            << true;
    }

    void printerListKeptForItsLifetime() {
        QFETCH(Headers, headers);
        QFETCH(int, ageMs);
        QFETCH(bool, kept);
        int asked = 0;
        Clock::time_point now{};
        const auto list = [&asked] { return PrinterList({{std::to_string(++asked), true}}); };
        const Agent a = agent(list, secret, [&now] { return now; });
        Request request = get("/v1/printers");
        if (ageMs >= 0)
            a.handle(request);
        now += std::chrono::milliseconds(std::max(ageMs, 0));
        request.headers.insert(headers.begin(), headers.end());
        QCOMPARE(a.answerAtOnce(request).has_value(), kept);
        const QByteArray answer = bytes(a.handle(request).body);
        QCOMPARE(asked, (ageMs >= 0) + !kept);
        QVERIFY(answer.contains("\"name\":\"" + QByteArray::number(asked)));
        QCOMPARE(bytes(a.answerAtOnce(get("/v1/printers")).value_or(Response{}).body), answer);
    }

    void requestLogLeavesOutRepeatedPollsForeignTextAndRefusals() {
        RequestLog log;
        const auto line = [&log](const char* method, const std::string& path, int status) {
            return QString::fromStdString(log.line(method, path, status).value_or(""));
        };
        QCOMPARE(line("GET", "/v1/health", 200), "request method=GET path=/v1/health status=200");
        QCOMPARE(line("GET", "/v1/health", 200), "");
        QCOMPARE(line("GET", "/v1/health", 500),
                 "request method=GET path=/v1/health status=500 repeats_not_logged=1");
        QCOMPARE(line("P\nOST", "/v1/app/" + goodToken, 400),
                 "request method=<other> path=<other> status=400");
        // Anyone can send refused requests at any rate: counted, summed up later.
        for (int i = 0; i < 20000; ++i)
            QCOMPARE(line("GET", "/v1/health", 403 + i % 3), "");
        log.countRefusal(431);
        QCOMPARE(QString::fromStdString(log.refusalSummary().value_or("")),
                 "refused_requests count=20001 by_status=403:6667,404:6667,405:6666,431:1");
        QVERIFY(!log.refusalSummary() && !log.hasRefusals());
    }

    // The signing record health reports: none until a pairing is confirmed,
    // then what the preview showed, off while the credentials are locked.
    void signingRecordFollowsPairingAndLock() {
        // With an empty secret, nobody is the application.
        QCOMPARE(agent({}, "").handle(post(resume, "{}", "")).status, 403);
        const Agent a = agent();
        const auto signing = [&a] {
            const auto health =
                kestrel::AgentHealth::fromBody(bytes(a.handle(get("/v1/health")).body));
            return health ? health->signing() : std::nullopt;
        };
        QVERIFY(signing() && !signing()->configured() && !signing()->enabled());
        const auto shown = kestrel::decodePairingPreview(
            bytes(a.handle(post(preview, tokenBody(goodToken))).body));
        QVERIFY(shown && shown->organizationName.contains("Демонстрация"));
        QVERIFY(!signing()->configured()); // a preview shows; it does not pair

        QCOMPARE(a.handle(post("/v1/app/pairing-confirm", tokenBody(goodToken))).status, 200);
        const auto on = signing();
        QVERIFY(on && on->configured() && on->enabled());
        QCOMPARE(on->organizationName().value_or(""), shown->organizationName);
        const kestrel::PairingFunctions& set = shown->settings;
        QVERIFY(
            std::tuple(on->autoSign(), on->renewTrueApi(), on->renewSuz(), on->autoPrepareFbs()) ==
            std::tuple(set.autoSign, set.renewTrueApi, set.renewSuz, set.autoPrepareFbs));

        QVERIFY(put(folder(DataStore::lockFlagFile), {}));
        QVERIFY(signing()->configured() && !signing()->enabled());
        QCOMPARE(signing()->code().value_or(""), "keychain_locked");
        QCOMPARE(a.handle(post("/v1/app/unlock-credentials")).status, 200);
        QVERIFY(signing()->enabled() && !signing()->code());
        for (const char* damaged : {"", "{", "[]", "{\"organizationName\":1}"}) {
            QVERIFY(put(folder(DataStore::pairingFile), damaged));
            QVERIFY2(!signing()->configured(), damaged);
        }
    }

    void deviceIdPerFolderAndWithoutWritableFolder() {
        QVERIFY(isUuid(m_store->deviceId()) && m_store->deviceIdPersistent());
        QVERIFY(DataStore(folder("other").toStdString()).deviceId() != m_store->deviceId());
        // A folder below a regular file cannot be made, whoever runs the test.
        const DataStore unwritable(folder(DataStore::deviceIdFile).toStdString() + "/x");
        QVERIFY(isUuid(unwritable.deviceId()) && !unwritable.deviceIdPersistent());
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
        const auto padded = [&plist](qint64 size) {
            return plist + "<!--" + QByteArray(size - plist.size() - 7, ' ') + "-->";
        };
        QTest::newRow("no key") << QByteArray(plist).replace("Short", "") << "0.5.5";
        QTest::newRow("not in a dict") << QByteArray(plist).replace("dict>", "array>") << "0.5.5";
        QTest::newRow("no file") << QByteArray() << "0.5.5";
        QTest::newRow("as long as allowed") << padded(kestrel::maximumInfoPlistBytes) << "1.2.3";
        QTest::newRow("too long") << padded(kestrel::maximumInfoPlistBytes + 1) << "0.5.5";
        const QDir seeds(KESTREL_INFO_PLIST_SEEDS);
        QVERIFY(!seeds.isEmpty(QDir::Files));
        for (const QFileInfo& seed : seeds.entryInfoList(QDir::Files)) {
            QFile file(seed.filePath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QTest::addRow("seed %s", qPrintable(seed.fileName())) << file.readAll() << QString();
        }
    }

    void versionAsTheApplicationReads() {
        QFETCH(QByteArray, document);
        QFETCH(QString, version);
        const QTemporaryDir bundle;
        const QString plist = bundle.filePath("Contents/Info.plist");
        QVERIFY(QDir(bundle.path()).mkpath("Contents") &&
                (document.isNull() || put(plist, document)));
        const QString agent = QString::fromStdString(bundleVersion(plist.toStdString()));
        QCOMPARE(agent, kestrel::bundleVersion(bundle.path()));
        if (!version.isNull())
            QCOMPARE(agent, version);
    }

    // At the connection limit a new connection closes one of those there
    // first: the longest idle, and one waiting for the print system only
    // when none is idle. A reply leaves as soon as it is written, not after
    // the client's delayed acknowledgement (about 40 ms on every request).
    void connectionLimitClosesTheLongestIdle_data() {
        QTest::addColumn<QByteArrayList>("requests"); // of those there first; "" for idle
        QTest::addColumn<int>("closed");
        const QByteArray printers = "GET /v1/printers HTTP/1.1\r\nHost: localhost\r\n\r\n";
        QTest::newRow("idle") << QByteArrayList{"", ""} << 0;
        QTest::newRow("asking for printers") << QByteArrayList{printers, printers} << 0;
        QTest::newRow("idle before printers") << QByteArrayList{printers, ""} << 1;
    }

    void connectionLimitClosesTheLongestIdle() {
        QFETCH(QByteArrayList, requests);
        QFETCH(int, closed);
        std::promise<void> release; // the print system answers once the test is over
        const std::shared_future<void> released = release.get_future().share();
        std::atomic<int> asked = 0;
        const Agent a = agent([&] {
            ++asked;
            released.wait();
            return PrinterList();
        });
        ServiceLimits limits;
        limits.connections = requests.size();
        limits.idleTime = std::chrono::minutes(1);
        const InProcessAgent service(a, limits);
        const auto releaseFirst = qScopeGuard([&release] { release.set_value(); });
        QVERIFY2(service.error.empty(), service.error.c_str());
        std::vector<std::unique_ptr<QTcpSocket>> first;
        for (const QByteArray& request : requests) {
            auto& socket = first.emplace_back(std::make_unique<QTcpSocket>());
            socket->connectToHost(QHostAddress::LocalHost, agentPort);
            // One after the other as the agent sees them: an idle one has had
            // its reply, one asking for printers waits for the print system.
            socket->write(request.isEmpty() ? healthRequest : request);
            const int waiting = asked + !request.isEmpty();
            QTRY_VERIFY(request.isEmpty() ? socket->bytesAvailable() > 0 : asked == waiting);
        }
        QCOMPARE(send(get("/v1/health")).status, 200);
        const QTcpSocket& kept = *first[1 - closed];
        QTRY_COMPARE(first[closed]->state(), QAbstractSocket::UnconnectedState);
        QVERIFY2(kept.state() == QAbstractSocket::ConnectedState, qPrintable(kept.errorString()));

        // The agent's end of the connection kept, in this process.
        int noDelay = 0;
        for (const QString& fd : QDir("/proc/self/fd").entryList(QDir::System | QDir::Files)) {
            sockaddr_in peer{};
            socklen_t size = sizeof peer, length = sizeof noDelay;
            if (::getpeername(fd.toInt(), reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
                ntohs(peer.sin_port) == kept.localPort())
                ::getsockopt(fd.toInt(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length);
        }
        QVERIFY(noDelay);
    }

    // The built agent: its replies as the application reads them, one agent
    // per port, nothing that wakes it at rest, and an end by SIGTERM despite a
    // kept-alive connection.
    void runningAgent() {
        QProcess agent;
        start(agent, m_executable);
        QVERIFY(QTest::qWaitFor(serving, 5000)); // start-up time is not the subject
        const auto health = kestrel::AgentHealth::fromBody(send(get("/v1/health")).body);
        QVERIFY(health && health->signing());
        QCOMPARE(health->version(), "9.8.7-test");
        // The identifier its data folder holds, over either address.
        QCOMPARE(health->deviceId(), QString::fromStdString(m_store->deviceId()));
        QVERIFY(exchange(wire(get("/v1/health", "[::1]:43127")), 0, QHostAddress::LocalHostIPv6)
                    .body.contains(health->deviceId().toUtf8()));
        // A second agent cannot share the port and leaves it to the first.
        QProcess second;
        start(second, m_executable);
        QVERIFY(second.waitForFinished(5000) && second.exitCode() != 0);

        // At rest nothing wakes it: no timer, no polling of connections or
        // parent. On a busy machine the last exchange may settle late, so the
        // quietest of a few one-second spans counts; a periodic wake-up shows
        // in every one of them.
        const auto quiet = [pid = agent.processId()] {
            const long long switches = kestrel::test::voluntarySwitches(pid);
            QTest::qWait(1000);
            return kestrel::test::voluntarySwitches(pid) - switches <= 1;
        };
        QVERIFY(quiet() || quiet() || quiet() || quiet() || quiet());

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
        QVERIFY(agent.waitForFinished(3000));
        QVERIFY(agent.exitStatus() == QProcess::NormalExit && agent.exitCode() == 0);
        const QByteArray output = agent.readAllStandardOutput();
        QVERIFY2(output.contains("refused_requests count=50 by_status=403:50\n"), output);
        QVERIFY(!output.contains("path=/v1/health status=403"));
    }

    // SIGTERM stays blocked in the agent, so that the signal the kernel sends
    // it when its parent ends cannot end it: only its own watch can.
    void exitsWhenItsParentIsGone() {
        QProcess parent;
        parent.setChildProcessModifier([] {
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            ::sigprocmask(SIG_BLOCK, &term, nullptr);
        });
        start(parent, "/bin/sh", {"-c", R"("$0" >/dev/null 2>&1 & echo $!; wait)", m_executable});
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
    }
};

QTEST_GUILESS_MAIN(TestAgent)
#include "test_agent.moc"
