#include "agentclient/StatusRequest.h"
#include "support/FakeAgent.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

using namespace kestrel;
using namespace std::chrono_literals;
using test::FakeAgent;
using test::FakeReply;

Q_DECLARE_METATYPE(kestrel::test::FakeReply)
Q_DECLARE_METATYPE(std::optional<int>)

namespace {

struct Finished {
    ReplyResult result;
    qint64 elapsedMs = 0;
};

} // namespace

class TestStatusRequest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void replyValues_data();
    void replyValues();
    void refusedConnection();
    void limitsEndTheExchange_data();
    void limitsEndTheExchange();
    void delayWithinLimitsSucceeds();
    void nothingAddedToTheRequest();
    void cookiesAreNotKept();
    void goneContextGetsNothing();
    void urlJoining_data();
    void urlJoining();

private:
    // Sends one request and waits for its result (at most `waitMs`).
    std::optional<Finished> fetch(const QUrl& url, StatusLimits limits = {}, int waitMs = 5000);

    QNetworkAccessManager m_session;
};

std::optional<Finished> TestStatusRequest::fetch(const QUrl& url, StatusLimits limits, int waitMs) {
    std::optional<Finished> finished;
    QElapsedTimer clock;
    clock.start();
    sendStatusRequest(
        m_session, url, this,
        [&](const ReplyResult& result) {
            finished = Finished{result, clock.elapsed()};
        },
        limits);
    if (!QTest::qWaitFor([&] { return finished.has_value(); }, waitMs))
        return std::nullopt;
    return finished;
}

void TestStatusRequest::initTestCase() {
    // A proxy from the environment would carry loopback requests elsewhere.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
}

void TestStatusRequest::replyValues_data() {
    QTest::addColumn<FakeReply>("reply");
    QTest::addColumn<int>("status");

    QTest::newRow("200") << FakeReply{.status = 200, .body = R"({"ok":true})"} << 200;
    QTest::newRow("201") << FakeReply{.status = 201, .body = R"({"ok":true})"} << 201;
    QTest::newRow("204") << FakeReply{.status = 204} << 204;
    QTest::newRow("400") << FakeReply{.status = 400, .body = R"({"ok":false})"} << 400;
    QTest::newRow("401") << FakeReply{.status = 401, .body = R"({"ok":false})"} << 401;
    QTest::newRow("404") << FakeReply{.status = 404, .body = R"({"ok":false})"} << 404;
    QTest::newRow("500") << FakeReply{.status = 500, .body = R"({"ok":true})"} << 500;
    QTest::newRow("503") << FakeReply{.status = 503, .body = R"({"ok":true})"} << 503;
    QTest::newRow("599") << FakeReply{.status = 599, .body = R"({"ok":true})"} << 599;
}

void TestStatusRequest::replyValues() {
    QFETCH(FakeReply, reply);
    QFETCH(int, status);
    FakeAgent agent;
    QVERIFY(agent.isListening());
    agent.setReply("/v1/health", reply);

    const auto finished = fetch(agentUrl(agent.baseUrl(), "v1/health"));
    QVERIFY(finished);
    // A status Qt also flags as an error is still an answer, not a failed exchange.
    QCOMPARE(finished->result.error, std::nullopt);
    QCOMPARE(finished->result.statusCode, status);
    QCOMPARE(finished->result.body, reply.body);
}

void TestStatusRequest::refusedConnection() {
    quint16 closedPort = 0;
    {
        FakeAgent gone;
        closedPort = gone.port();
    }
    QVERIFY(closedPort != 0);
    const auto finished =
        fetch(QUrl(QStringLiteral("http://127.0.0.1:%1/v1/health").arg(closedPort)));
    QVERIFY(finished);
    QCOMPARE(finished->result.statusCode, std::nullopt);
    QCOMPARE(finished->result.body, std::nullopt);
    QCOMPARE(finished->result.error,
             (TransportError{"QNetworkReply", int(QNetworkReply::ConnectionRefusedError)}));
    QCOMPARE(errorText(finished->result.error), "QNetworkReply:1");
    QCOMPARE(errorText(std::nullopt), "none:0");
}

void TestStatusRequest::limitsEndTheExchange_data() {
    QTest::addColumn<FakeReply>("reply");
    QTest::addColumn<int>("totalMs");
    QTest::addColumn<int>("idleMs");
    QTest::addColumn<std::optional<int>>("status");
    QTest::addColumn<int>("atLeastMs");
    QTest::addColumn<int>("atMostMs");

    const QByteArray body(64, 'x');
    QTest::newRow("hang: idle limit")
        << FakeReply{.hang = true} << 2000 << 300 << std::optional<int>() << 250 << 1000;
    QTest::newRow("slow answer: total limit") << FakeReply{.body = body, .delay = 5s} << 400 << 1500
                                              << std::optional<int>() << 350 << 1000;
    QTest::newRow("dripping body: total limit") << FakeReply{.body = body, .drip = 100ms} << 600
                                                << 400 << std::optional<int>(200) << 550 << 1100;
    QTest::newRow("dripping body, production limits")
        << FakeReply{.body = body, .drip = 300ms} << 2000 << 1500 << std::optional<int>(200) << 1900
        << 2400;
}

void TestStatusRequest::limitsEndTheExchange() {
    QFETCH(FakeReply, reply);
    QFETCH(int, totalMs);
    QFETCH(int, idleMs);
    QFETCH(std::optional<int>, status);
    QFETCH(int, atLeastMs);
    QFETCH(int, atMostMs);
    FakeAgent agent;
    agent.setReply("/v1/health", reply);

    const auto finished =
        fetch(agentUrl(agent.baseUrl(), "v1/health"),
              {std::chrono::milliseconds(totalMs), std::chrono::milliseconds(idleMs)});
    QVERIFY(finished);
    QVERIFY2(finished->elapsedMs >= atLeastMs && finished->elapsedMs <= atMostMs,
             qPrintable(QString::number(finished->elapsedMs)));
    QCOMPARE(finished->result.error,
             (TransportError{"QNetworkReply", int(QNetworkReply::OperationCanceledError)}));
    QCOMPARE(finished->result.statusCode, status);
    // Part of a body is not a body.
    QCOMPARE(finished->result.body, std::nullopt);
}

void TestStatusRequest::delayWithinLimitsSucceeds() {
    FakeAgent agent;
    agent.setReply("/v1/health", FakeReply{.body = "{}", .delay = 300ms});
    const auto finished = fetch(agentUrl(agent.baseUrl(), "v1/health"));
    QVERIFY(finished);
    QCOMPARE(finished->result.error, std::nullopt);
    QCOMPARE(finished->result.statusCode, 200);
    QCOMPARE(finished->result.body, QByteArray("{}"));
}

void TestStatusRequest::nothingAddedToTheRequest() {
    FakeAgent agent;
    agent.setReply("/v1/printers", FakeReply{.body = "{}"});
    QVERIFY(fetch(agentUrl(agent.baseUrl(), "v1/printers")));

    const QList<test::RecordedRequest> requests = agent.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].method, "GET");
    QCOMPARE(requests[0].path, "/v1/printers");
    QVERIFY(requests[0].body.isEmpty());
    for (const char* header : {"X-Kestrel-App", "Authorization", "Cookie", "Content-Type"})
        QVERIFY2(!requests[0].hasHeader(header), header);
}

void TestStatusRequest::cookiesAreNotKept() {
    FakeAgent agent;
    agent.setReply("/v1/health",
                   FakeReply{.body = "{}", .headers = {{"Set-Cookie", "session=abc; Path=/"}}});
    QVERIFY(fetch(agentUrl(agent.baseUrl(), "v1/health")));
    QVERIFY(fetch(agentUrl(agent.baseUrl(), "v1/health")));

    const QList<test::RecordedRequest> requests = agent.requests();
    QCOMPARE(requests.size(), 2);
    QVERIFY(!requests[1].hasHeader("Cookie"));
}

void TestStatusRequest::goneContextGetsNothing() {
    FakeAgent agent;
    agent.setReply("/v1/health", FakeReply{.body = "{}", .delay = 200ms});
    QSignalSpy finishedReplies(&m_session, &QNetworkAccessManager::finished);
    bool called = false;
    {
        QObject context;
        sendStatusRequest(m_session, agentUrl(agent.baseUrl(), "v1/health"), &context,
                          [&](const ReplyResult&) { called = true; });
    }
    QVERIFY(finishedReplies.wait(3000));
    QCoreApplication::processEvents();
    QVERIFY(!called);
}

void TestStatusRequest::urlJoining_data() {
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("url");
    QTest::newRow("bare origin") << "http://localhost:43127"
                                 << "http://localhost:43127/v1/health";
    QTest::newRow("trailing slash") << "http://localhost:43127/"
                                    << "http://localhost:43127/v1/health";
    QTest::newRow("base path") << "http://127.0.0.1:1/agent"
                               << "http://127.0.0.1:1/agent/v1/health";
}

void TestStatusRequest::urlJoining() {
    QFETCH(QString, base);
    QFETCH(QString, url);
    QCOMPARE(agentUrl(QUrl(base), "v1/health"), QUrl(url));
}

QTEST_GUILESS_MAIN(TestStatusRequest)
#include "tst_statusrequest.moc"
