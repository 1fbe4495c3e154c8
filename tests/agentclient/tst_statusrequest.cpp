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
    void slowAnswerEndsAtTheTotalLimit();
    void delayWithinLimitsSucceeds();
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
    // Ends with this call, so a late reply cannot reach the locals.
    const QObject context;
    sendStatusRequest(
        m_session, url, &context,
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

void TestStatusRequest::slowAnswerEndsAtTheTotalLimit() {
    // No byte at all for longer than the whole-exchange limit, while the idle
    // limit is longer still: only the exchange's own deadline ends it.
    FakeAgent agent;
    agent.setReply("/v1/health", FakeReply{.body = "{}", .delay = 5s});
    const auto finished = fetch(agentUrl(agent.baseUrl(), "v1/health"), {400ms, 1500ms});
    QVERIFY(finished);
    QVERIFY2(finished->elapsedMs >= 350 && finished->elapsedMs <= 1000,
             qPrintable(QString::number(finished->elapsedMs)));
    QCOMPARE(finished->result.error,
             (TransportError{"QNetworkReply", int(QNetworkReply::OperationCanceledError)}));
    QCOMPARE(finished->result.statusCode, std::nullopt);
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
