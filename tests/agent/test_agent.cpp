// The reference agent: its request handling and state called directly, and
// the built agent as a real process on port 43127. Replies are read with the
// application's own decoders.
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
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <boost/asio/io_context.hpp>
#include <csignal>
#include <fstream>
#include <limits>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>

using namespace kestrel::agent;
using kestrel::test::voluntarySwitches;

Q_DECLARE_METATYPE(Request)

namespace {

const std::string secret =
    "0F3C2A9E-1B7D-4C55-9A3E-6D2B8C1F4E70A1B2C3D4-E5F6-4711-8899-AABBCCDDEEFF";
const std::string goodToken(64, 'a');
const char* const resume = "/v1/app/resume";
const char* const preview = "/v1/app/pairing-preview";

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
    if (key)
        request.headers.emplace("X-Kestrel-App", *key);
    if (type)
        request.headers.emplace("Content-Type", type);
    return request;
}

// One request to the running agent, written byte for byte so that its Host
// header is exactly the given one; the status and body of the reply.
std::pair<int, QByteArray> send(const Request& request,
                                const QHostAddress& address = QHostAddress::LocalHost) {
    QByteArray text = bytes(request.method + ' ' + request.path + " HTTP/1.1\r\n");
    for (const auto& [name, value] : request.headers)
        text += bytes(name + ": " + value + "\r\n");
    QTcpSocket socket;
    socket.connectToHost(address, agentPort);
    socket.write(text + "Content-Length: " + QByteArray::number(request.body.size()) +
                 "\r\nConnection: close\r\n\r\n" + bytes(request.body));
    QByteArray reply;
    while (socket.waitForReadyRead(3000))
        reply += socket.readAll();
    const qsizetype end = reply.indexOf("\r\n\r\n");
    return {end < 0 ? 0 : reply.mid(9, 3).toInt(), reply.mid(end + 4)};
}

// The HTTP service in this process, on its own loop thread, with limits short
// enough for a test to wait them out.
class InProcessAgent {
public:
    InProcessAgent(const Agent& agent, ServiceLimits limits) : m_service(m_loop, agent, limits) {}
    ~InProcessAgent() {
        m_service.stop();
        if (m_thread.joinable())
            m_thread.join();
    }

    bool start(std::string& error) {
        if (!m_service.bind(agentPort, error))
            return false;
        m_service.start();
        m_thread = std::thread([this] { m_loop.run(); });
        return true;
    }

private:
    boost::asio::io_context m_loop;
    HttpService m_service;
    std::thread m_thread;
};

ServiceLimits shortLimits() {
    ServiceLimits limits;
    limits.headerTime = limits.bodyTime = limits.idleTime = std::chrono::milliseconds(300);
    limits.connections = 4;
    return limits;
}

// The status of the reply to `bytes` sent at once (or a byte every
// `trickleMs`), 0 when the agent closes the connection without one; in
// `closedAfterMs` how long it kept the connection.
int statusFor(const QByteArray& bytes, int trickleMs, qint64* closedAfterMs) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, agentPort);
    if (!socket.waitForConnected(1000))
        return -1;
    QElapsedTimer clock;
    clock.start();
    QByteArray reply;
    for (qsizetype sent = 0; sent < bytes.size() && socket.state() == QTcpSocket::ConnectedState;) {
        const qsizetype piece = trickleMs > 0 ? 1 : bytes.size();
        socket.write(bytes.mid(sent, piece));
        sent += piece;
        socket.waitForBytesWritten(100);
        if (trickleMs > 0 && socket.waitForReadyRead(trickleMs))
            reply += socket.readAll();
    }
    while (socket.state() == QTcpSocket::ConnectedState && socket.waitForReadyRead(3000))
        reply += socket.readAll();
    reply += socket.readAll();
    *closedAfterMs = clock.elapsed();
    return reply.startsWith("HTTP/1.1 ") ? reply.mid(9, 3).toInt() : 0;
}

bool serving() {
    return send(get("/v1/health")).first == 200;
}

QString deviceId() {
    return QJsonDocument::fromJson(send(get("/v1/health")).second)["deviceId"].toString();
}

} // namespace

class TestAgent : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    QTcpServer m_silentCups; // accepts connections and never answers
    QString m_executable;    // in a bundle of version 9.8.7-test
    std::vector<std::unique_ptr<QProcess>> m_processes;
    pid_t m_orphan = 0;
    std::unique_ptr<DataStore> m_store; // for the tests without a process

    std::filesystem::path folder() const { return m_root.filePath("KestrelAgent").toStdString(); }
    // The version is not UTF-8, which must not break the health reply.
    Agent agent(std::optional<std::string> appSecret = secret) {
        return {{"1.0\xff", "linux", "x86_64"}, *m_store, {}, std::move(appSecret)};
    }

    QProcessEnvironment environment(const QString& data) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", m_root.filePath(data));
        env.insert("KESTREL_APP_SECRET", QString::fromStdString(secret));
        env.insert("CUPS_SERVER", "127.0.0.1:" + QString::number(m_silentCups.serverPort()));
        return env;
    }

    // The agent, once it serves; the limit is generous, start-up time is not the subject.
    QProcess* start(const QString& data = "data") {
        auto& process = m_processes.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(environment(data));
        process->start(m_executable, {});
        return QTest::qWaitFor(serving, 3000) ? process.get() : nullptr;
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
        m_store = std::make_unique<DataStore>(folder());
        QFile plist(contents + "Info.plist");
        QVERIFY(plist.open(QIODevice::WriteOnly));
        plist.write("<plist><dict><key>CFBundleShortVersionString</key><string>9.8.7-test</string>"
                    "</dict></plist>");
    }

    void cleanup() {
        for (auto& process : m_processes) {
            process->kill();
            process->waitForFinished();
        }
        m_processes.clear();
        if (m_orphan > 0 && ::kill(m_orphan, SIGKILL) == 0)
            ::waitpid(m_orphan, nullptr, 0);
        m_orphan = 0;
    }

    void routing_data() {
        QTest::addColumn<Request>("request");
        QTest::addColumn<int>("status");
        for (const char* host : {"localhost", "LocalHost:43127", "127.0.0.1", "[::1]:43127"})
            QTest::newRow(host) << get("/v1/health", host) << 200;
        for (const char* host : {"evil.example", "localhost.evil.example", "127.0.0.1.evil.example",
                                 "localhostx", "127.0.0.2", "localhost:8080", "localhost:",
                                 "localhost:043127", "::1", "[::1", "[::1]x", "evil@localhost", ""})
            QTest::newRow(host) << get("/v1/printers", host) << 403;
        const std::string nonAscii = QString(32, QChar(0x0416)).toStdString(); // 64 bytes
        QTest::newRow("no host") << Request{"GET", "/v1/health", {}, {}} << 403;
        QTest::newRow("two hosts")
            << Request{"GET", "/", {{"Host", "localhost"}, {"Host", "x"}}, {}} << 403;
        QTest::newRow("health by POST") << post("/v1/health") << 405;
        QTest::newRow("unknown path") << post("/v1/app/resume/") << 404;
        QTest::newRow("action by GET") << get(resume) << 405;
        QTest::newRow("no key") << post(resume, "{}", std::nullopt) << 403;
        QTest::newRow("wrong key") << post(resume, "{}", secret.substr(0, 71) + "0") << 403;
        QTest::newRow("longer key") << post(resume, "{}", secret + "0") << 403;
        QTest::newRow("no type") << post(resume, "{}", secret, nullptr) << 415;
        QTest::newRow("type, charset") << post(resume, "{}", secret, "Application/JSON ; q") << 200;
        QTest::newRow("not JSON") << post(resume, "{pairingToken:") << 400;
        QTest::newRow("array") << post(resume, "[]") << 400;
        QTest::newRow("no token") << post(preview) << 400;
        QTest::newRow("63 characters") << post(preview, tokenBody(goodToken.substr(1))) << 400;
        QTest::newRow("with =") << post(preview, tokenBody(goodToken.substr(1) + "=")) << 400;
        QTest::newRow("not ASCII") << post(preview, tokenBody(nonAscii)) << 400;
        QTest::newRow("number") << post(preview, R"({"pairingToken":1})") << 400;
        QTest::newRow("_ and -") << post(preview, tokenBody("-_" + goodToken.substr(2))) << 200;
    }

    void routing() {
        QFETCH(Request, request);
        QFETCH(int, status);
        const Response response = agent().handle(request);
        QCOMPARE(response.status, status);
        const QJsonObject reply = QJsonDocument::fromJson(bytes(response.body)).object();
        QVERIFY(!reply.isEmpty());
        QCOMPARE(reply.value("error").isString(), status != 200);
        QVERIFY(!bytes(response.body).contains(bytes(secret.substr(0, 36))));
        QCOMPARE(response.headers.size() == 1 && response.headers[0].first == "Allow",
                 status == 405);
    }

    // Header rows for the decision alone; ages in milliseconds, -1 for no answer yet.
    void printerListKeptForItsLifetime_data() {
        QTest::addColumn<Request>("request");
        QTest::addColumn<int>("ageMs");
        QTest::addColumn<bool>("kept");
        const auto with = [](std::initializer_list<std::pair<const std::string, std::string>> h) {
            Request request = get("/v1/printers");
            request.headers.insert(h);
            return request;
        };
        QTest::newRow("no answer yet") << get("/v1/printers") << -1 << false;
        QTest::newRow("younger than 30 s") << get("/v1/printers") << 29999 << true;
        QTest::newRow("30 s old") << get("/v1/printers") << 30000 << false;
        QTest::newRow("no-cache") << with({{"Cache-Control", "no-cache"}}) << 0 << false;
        QTest::newRow("in a list, any case")
            << with({{"cache-control", "max-age=5"}, {"Cache-Control", "x, No-Cache "}}) << 0
            << false;
        QTest::newRow("Pragma") << with({{"Pragma", "no-cache"}}) << 0 << false;
        QTest::newRow("other directives")
            << with({{"Cache-Control", "no-store, no-cachex"}, {"X-Pragma", "no-cache"}}) << 0
            << true;
    }

    void printerListKeptForItsLifetime() {
        QFETCH(Request, request);
        QFETCH(int, ageMs);
        QFETCH(bool, kept);
        const auto age = ageMs < 0
                             ? std::nullopt
                             : std::optional<Clock::duration>(std::chrono::milliseconds(ageMs));
        QCOMPARE(answerFromCache(request.headers, age), kept);
    }

    // The event loop answers from what the agent keeps, never asking the
    // print system itself; the print system is asked once per lifetime or
    // when a request asks for a fresh list.
    void printerSourceAskedOncePerLifetimeOrAfresh() {
        const Request request = get("/v1/printers");
        int asked = 0;
        Clock::time_point now{};
        const Agent a(
            {"1.0", "linux", "x86_64"}, *m_store,
            [&asked] {
                return PrinterList(std::vector<Printer>{{std::to_string(++asked), true}});
            },
            secret, agentPort, [&now] { return now; });
        Request fresh = request;
        fresh.headers.emplace("Pragma", "no-cache");
        const auto atOnce = [&](const Request& r) {
            return a.answerAtOnce(r).value_or(Response{0});
        };
        QCOMPARE(atOnce(request).status, 0);
        const Response first = a.handle(request);
        now += std::chrono::seconds(29);
        QCOMPARE(atOnce(request).body, first.body);
        QCOMPARE(a.handle(request).body, first.body);
        QCOMPARE(asked, 1);
        QCOMPARE(atOnce(fresh).status, 0);
        const Response second = a.handle(fresh);
        QCOMPARE(asked, 2);
        QVERIFY(second.body != first.body);
        now += std::chrono::seconds(29); // the fresh answer started a new lifetime
        QCOMPARE(atOnce(request).body, second.body);
        now += std::chrono::seconds(1);
        QCOMPARE(atOnce(request).status, 0);
        a.handle(request);
        QCOMPARE(asked, 3);
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

    void signingRecordFollowsPairingAndLock() {
        // Without a secret, or with an empty one, nobody is the application.
        const Request confirm = post("/v1/app/pairing-confirm", tokenBody(goodToken), "");
        QCOMPARE(agent("").handle(confirm).status, 403);
        QCOMPARE(agent(std::nullopt).handle(confirm).status, 403);
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
        QVERIFY(signing() && signing()->configured() && signing()->enabled());
        QCOMPARE(signing()->organizationName().value_or(""), shown->organizationName);
        QCOMPARE(QDir(m_root.filePath("KestrelAgent")).entryList(QDir::Files | QDir::Hidden),
                 QStringList({"device-id", "pairing.json"}));

        std::ofstream(folder() / DataStore::lockFlagFile) << "";
        QVERIFY(signing()->configured() && !signing()->enabled());
        QCOMPARE(signing()->code().value_or(""), "keychain_locked");
        QCOMPARE(a.handle(post(resume)).status, 200);
        QVERIFY(signing()->code()); // resuming is not unlocking
        QCOMPARE(a.handle(post("/v1/app/unlock-credentials")).status, 200);
        QVERIFY(signing()->enabled() && !signing()->code());

        for (const char* damaged : {"", "{", "[]", R"({"organizationName":1})"}) {
            std::ofstream(folder() / DataStore::pairingFile, std::ios::trunc) << damaged;
            QVERIFY2(!signing()->configured(), damaged);
        }
    }

    void deviceIdPerFolderAndWithoutWritableFolder() {
        QVERIFY(isUuid(m_store->deviceId()) && m_store->deviceIdPersistent());
        QVERIFY(DataStore(folder() / "other").deviceId() != m_store->deviceId());
        // A folder below a regular file cannot be made, whoever runs the test.
        const DataStore unwritable(folder() / DataStore::deviceIdFile / "x");
        QVERIFY(isUuid(unwritable.deviceId()) && !unwritable.deviceIdPersistent());
    }

    // An Info.plist (none for a null one) read from a bundle by the agent and
    // by the application: they must agree, or the application takes its own
    // agent for a foreign one. Each committed fuzz seed is a row too, where
    // agreement is all that is asked.
    void versionAsTheApplicationReads_data() {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("version");
        const auto plist = [](const char* doctype, const QByteArray& members) {
            return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + QByteArray(doctype) +
                   "\n<plist version=\"1.0\"><dict>" + members + "</dict></plist>\n";
        };
        const auto version = [](const char* value) {
            return "<key>CFBundleShortVersionString</key><string>" + QByteArray(value) +
                   "</string>";
        };
        const char* const apple = "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                  "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">";
        const QByteArray built = plist(apple, version("1.2.3"));
        QTest::newRow("as the build writes it") << built << "1.2.3";
        QTest::newRow("> in an identifier")
            << plist("<!DOCTYPE plist SYSTEM \"http>//example/plist.dtd\">", version("1.2.3"))
            << "1.2.3";
        QTest::newRow("] in an identifier")
            << plist("<!DOCTYPE plist PUBLIC '-//x//EN' \"plist].dtd\">", version("1.2.3"))
            << "1.2.3";
        QTest::newRow("internal subset")
            << plist("<!DOCTYPE plist [<!ELEMENT a ANY>]>", version("1.2.3")) << "1.2.3";
        QTest::newRow("unterminated doctype")
            << plist("<!DOCTYPE plist \"plist.dtd>", version("1.2.3")) << "0.5.5";
        // Line ends read as XML reads them, in CDATA too; a character
        // reference stays what it names.
        QTest::newRow("line ends")
            << plist(apple, version("\r\n1.2\r.3<![CDATA[\r\n]]>&#13;")) << "\n1.2\n.3\n\r";
        QTest::newRow("no key") << plist(apple, "<key>CFBundleVersion</key><string>7</string>")
                                << "0.5.5";
        QTest::newRow("not a string")
            << plist(apple, "<key>CFBundleShortVersionString</key><integer>2</integer>"
                            "<string>1.2.3</string>")
            << "0.5.5";
        QTest::newRow("no file") << QByteArray() << "0.5.5";
        const auto padded = [&built](qint64 size) {
            return built + "<!--" + QByteArray(size - built.size() - 7, ' ') + "-->";
        };
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
        QVERIFY(QDir(bundle.path()).mkpath("Contents"));
        QFile file(bundle.filePath("Contents/Info.plist"));
        if (!document.isNull())
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(document) == document.size());
        file.close();
        const QString agent = QString::fromStdString(bundleVersion(file.fileName().toStdString()));
        QCOMPARE(agent, kestrel::bundleVersion(bundle.path()));
        if (!version.isNull())
            QCOMPARE(agent, version);
    }

    // What any local process or web page may send without the secret. Each
    // is refused with a status, or closed, before it costs more than the limits.
    void hostileTrafficIsRefused_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("trickleMs");
        QTest::addColumn<int>("status"); // 0: closed without a reply
        const QByteArray host = "Host: localhost\r\n";
        const QByteArray app =
            host + "X-Kestrel-App: " + bytes(secret) + "\r\nContent-Type: application/json\r\n";
        const QByteArray chunked = "Transfer-Encoding: chunked\r\n\r\n";
        const auto chunks = [](int count) {
            QByteArray body;
            for (int i = 0; i < count; ++i)
                body += "4000\r\n" + QByteArray(0x4000, '{') + "\r\n";
            return body;
        };
        QTest::newRow("chunked body past the limit")
            << "POST /v1/app/resume HTTP/1.1\r\n" + app + chunked + chunks(8) << 0 << 413;
        QTest::newRow("chunked body, no key")
            << "POST /v1/app/resume HTTP/1.1\r\n" + host + chunked + chunks(64) << 0 << 403;
        QTest::newRow("chunked body, unknown path")
            << "POST /nonexistent HTTP/1.1\r\n" + host + chunked + chunks(64) << 0 << 404;
        QTest::newRow("declared body past the limit")
            << "POST /v1/app/resume HTTP/1.1\r\n" + app + "Content-Length: 1073741824\r\n\r\n"
            << 0 << 413;
        QTest::newRow("request line without an end")
            << "GET /" + QByteArray(1 << 20, 'a') << 0 << 431;
        QByteArray headers = "GET /v1/health HTTP/1.1\r\n" + host;
        for (int i = 0; i < 100; ++i)
            headers += "X-" + QByteArray::number(i) + ": " + QByteArray(8192, 'v') + "\r\n";
        QTest::newRow("100 headers of 8 KiB") << headers + "\r\n" << 0 << 431;
        QTest::newRow("not HTTP") << QByteArray("\x16\x03\x01\x02\x00\r\n\r\n") << 0 << 400;
        QTest::newRow("foreign host")
            << QByteArray("GET /v1/health HTTP/1.1\r\nHost: evil.example\r\n\r\n") << 0 << 403;
        QTest::newRow("nothing sent") << QByteArray() << 0 << 0;
        QTest::newRow("header never ended") << "GET /v1/health HTTP/1.1\r\n" + host << 0 << 0;
        QTest::newRow("header trickled")
            << "GET /v1/health HTTP/1.1\r\n" + host + host + host << 50 << 0;
    }

    void hostileTrafficIsRefused() {
        QFETCH(QByteArray, request);
        QFETCH(int, trickleMs);
        QFETCH(int, status);
        const Agent a = agent();
        InProcessAgent service(a, shortLimits());
        std::string error;
        QVERIFY2(service.start(error), error.c_str());
        qint64 closedAfterMs = 0;
        QCOMPARE(statusFor(request, trickleMs, &closedAfterMs), status);
        // Within the 300 ms limits (and the second of draining after a refusal).
        QCOMPARE_LT(closedAfterMs, 2500);
    }

    // Connections beyond the limit make room for a new one, oldest first,
    // also when all of them wait for a slow print system; a reply leaves as
    // soon as it is written, not after the client's delayed acknowledgement
    // (about 40 ms on every request).
    void connectionsBeyondTheLimitCloseTheOldestAndRepliesAreNotHeldBack_data() {
        QTest::addColumn<QByteArray>("request"); // of the connections there first
        QTest::newRow("idle") << QByteArray();
        QTest::newRow("asking for printers")
            << QByteArray("GET /v1/printers HTTP/1.1\r\nHost: localhost\r\n\r\n");
    }

    void connectionsBeyondTheLimitCloseTheOldestAndRepliesAreNotHeldBack() {
        QFETCH(QByteArray, request);
        const Agent a(
            {"1.0", "linux", "x86_64"}, *m_store,
            [] {
                std::this_thread::sleep_for(std::chrono::seconds(1));
                return std::optional<std::vector<Printer>>();
            },
            secret);
        ServiceLimits limits = shortLimits();
        limits.idleTime = std::chrono::seconds(30);
        InProcessAgent service(a, limits);
        std::string error;
        QVERIFY2(service.start(error), error.c_str());
        std::vector<std::unique_ptr<QTcpSocket>> first;
        for (std::size_t i = 0; i < limits.connections; ++i) {
            first.push_back(std::make_unique<QTcpSocket>());
            first.back()->connectToHost(QHostAddress::LocalHost, agentPort);
            QVERIFY(first.back()->waitForConnected());
            first.back()->write(request);
            first.back()->flush();
            QTest::qWait(20); // an order of age the agent can tell
        }
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, agentPort);
        QVERIFY(client.waitForConnected());
        client.write("GET /v1/health HTTP/1.1\r\nHost: localhost\r\n\r\n");
        QByteArray reply;
        QTRY_VERIFY_WITH_TIMEOUT((reply += client.readAll()).endsWith("}"), 500);
        QVERIFY(reply.startsWith("HTTP/1.1 200"));
        QTRY_COMPARE(first.front()->state(), QAbstractSocket::UnconnectedState);
        for (std::size_t i = 1; i < first.size(); ++i)
            QVERIFY2(first[i]->state() == QAbstractSocket::ConnectedState,
                     qPrintable(QString("connection %1: %2").arg(i).arg(first[i]->errorString())));

        // The accepted end of the client's connection, in this process.
        int noDelay = -1;
        for (const QString& entry : QDir("/proc/self/fd").entryList(QDir::System | QDir::Files)) {
            sockaddr_in peer{};
            socklen_t size = sizeof peer, length = sizeof noDelay;
            if (::getpeername(entry.toInt(), reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
                peer.sin_family == AF_INET && ntohs(peer.sin_port) == client.localPort())
                QCOMPARE(::getsockopt(entry.toInt(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length),
                         0);
        }
        QCOMPARE_GT(noDelay, 0);
    }

    void runningAgentAnswersAsTheApplicationReads() {
        QVERIFY(start());
        const auto health = kestrel::AgentHealth::fromBody(send(get("/v1/health")).second);
        QVERIFY(health && health->signing());
        QCOMPARE(health->version(), "9.8.7-test");
        const auto overIpv6 = kestrel::AgentHealth::fromBody(
            send(get("/v1/health", "[::1]:43127"), QHostAddress::LocalHostIPv6).second);
        QCOMPARE(overIpv6 ? overIpv6->deviceId() : QString(), health->deviceId());
        // The print system does not answer; the application waits 2 s for a reply.
        QElapsedTimer clock;
        clock.start();
        const auto printers = kestrel::PrintersResponse::fromBody(send(get("/v1/printers")).second);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(printers && !printers->ok() && printers->printers().empty());

        QCOMPARE(send(post(resume)).first, 200);
        QCOMPARE(send(get("/v1/health", "evil.example")).first, 403);
        // The refusal explains itself in Russian.
        QVERIFY(send(post(resume, "{}", std::nullopt)).second.contains("Запрос отклонён"));
    }

    void sigtermEndsItDespiteAnIdleConnectionAndTheDeviceIdOutlivesIt() {
        QProcess* const agent = start();
        QVERIFY(agent);
        const QString id = deviceId();
        // A second agent cannot share the port and leaves it to the first.
        QProcess second;
        second.setProcessEnvironment(environment("second"));
        second.start(m_executable, {});
        QVERIFY(second.waitForFinished(3000) && second.exitCode() != 0);
        QCOMPARE(deviceId(), id);
        // At rest nothing wakes it: no timer, no polling of connections or
        // parent. On a busy machine the last exchange may settle late, so the
        // quietest of a few one-second spans counts; a periodic wake-up shows
        // in every one of them.
        long long fewest = std::numeric_limits<long long>::max();
        for (int span = 0; span < 5 && fewest > 1; ++span) {
            const long long switches = voluntarySwitches(agent->processId());
            QTest::qWait(1000);
            fewest = std::min(fewest, voluntarySwitches(agent->processId()) - switches);
        }
        QCOMPARE_LE(fewest, 1);
        // Refusals reach the log as one summary, written at the latest when it stops.
        for (int i = 0; i < 50; ++i)
            QCOMPARE(send(get("/v1/health", "evil.example")).first, 403);
        // The application keeps its connection open between polls.
        QTcpSocket idle;
        idle.connectToHost(QHostAddress::LocalHost, agentPort);
        idle.write("GET /v1/health HTTP/1.1\r\nHost: localhost\r\n\r\n");
        QVERIFY(idle.waitForReadyRead(3000));

        agent->terminate();
        QVERIFY(agent->waitForFinished(1000));
        QVERIFY(agent->exitStatus() == QProcess::NormalExit && agent->exitCode() == 0);
        const QByteArray output = agent->readAllStandardOutput();
        QVERIFY2(output.contains("refused_requests count=50 by_status=403:50\n"), output);
        QVERIFY(!output.contains("path=/v1/health status=403"));
        QVERIFY(start());
        QCOMPARE(deviceId(), id);
    }

    void exitsWhenItsParentIsGone() {
        QProcess parent;
        parent.setProcessEnvironment(environment("data"));
        parent.start("/bin/sh", {"-c", R"("$0" >/dev/null 2>&1 & echo $!; wait)", m_executable});
        QVERIFY(parent.waitForReadyRead(3000));
        m_orphan = parent.readLine().trimmed().toInt();
        QVERIFY(m_orphan > 0 && QTest::qWaitFor(serving, 3000));

        parent.kill();
        QVERIFY(QTest::qWaitFor(
            [this] { return ::waitpid(m_orphan, nullptr, WNOHANG) == m_orphan; }, 1000));
        m_orphan = 0;
    }
};

QTEST_GUILESS_MAIN(TestAgent)
#include "test_agent.moc"
