#include "pairing/PairingRequest.h"
#include "support/FakeAgent.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

using namespace kestrel;
using namespace std::chrono_literals;
using kestrel::test::FakeAgent;
using kestrel::test::FakeReply;

namespace {

const QString failureMessage =
    QStringLiteral("Не удалось проверить доступ. Повторите попытку в приложении.");
const QString secret = QStringLiteral("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"
                                      "1A2B3C4D-5E6F-7081-92A3-B4C5D6E7F809");
const QString path = QStringLiteral("v1/app/unlock-credentials");

// Collects what one request's completion received.
struct Completion {
    int calls = 0;
    bool onMainThread = false;
    PairingOutcome outcome;
};

} // namespace

class TestPairingRequest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void sendsHeadersAndExactBody_data();
    void sendsHeadersAndExactBody();
    void judgesTheReply_data();
    void judgesTheReply();
    void neverFollowsRedirects();
    void ignoresEveryProxy();
    void unreachableAgentFails();
    void wholeExchangeIsLimited();
    void completesOnceOnTheMainThread();
    void nothingOnceTheContextIsGone();

private:
    std::shared_ptr<Completion> send(const std::optional<QString>& ticket,
                                     PairingLimits limits = {});

    std::unique_ptr<FakeAgent> m_agent;
    std::unique_ptr<QNetworkAccessManager> m_session;
    std::unique_ptr<QObject> m_context;
};

void TestPairingRequest::init() {
    m_agent = std::make_unique<FakeAgent>();
    QVERIFY(m_agent->isListening());
    m_session = std::make_unique<QNetworkAccessManager>();
    configurePairingSession(*m_session);
    m_context = std::make_unique<QObject>();
}

void TestPairingRequest::cleanup() {
    m_context.reset();
    m_session.reset();
    m_agent.reset();
    QNetworkProxy::setApplicationProxy(QNetworkProxy::DefaultProxy);
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
}

std::shared_ptr<Completion> TestPairingRequest::send(const std::optional<QString>& ticket,
                                                     PairingLimits limits) {
    auto completion = std::make_shared<Completion>();
    const PairingRequestParams params{m_agent->baseUrl(), path, secret, ticket, failureMessage};
    sendPairingRequest(
        *m_session, params, m_context.get(),
        [completion](PairingOutcome outcome) {
            ++completion->calls;
            completion->onMainThread = QThread::currentThread() == qApp->thread();
            completion->outcome = std::move(outcome);
        },
        limits);
    return completion;
}

void TestPairingRequest::sendsHeadersAndExactBody_data() {
    QTest::addColumn<std::optional<QString>>("ticket");
    QTest::addColumn<QByteArray>("body");
    const QString token = QStringLiteral("_-").repeated(32);
    QTest::newRow("without ticket") << std::optional<QString>() << QByteArray("{}");
    QTest::newRow("with ticket") << std::optional<QString>(token)
                                 << "{\"pairingToken\":\"" + token.toLatin1() + "\"}";
}

void TestPairingRequest::sendsHeadersAndExactBody() {
    QFETCH(std::optional<QString>, ticket);
    QFETCH(QByteArray, body);
    m_agent->setReply("/" + path, {.body = "{}"}, "POST");

    const auto completion = send(ticket);
    QTRY_COMPARE(completion->calls, 1);

    const auto requests = m_agent->requests();
    QCOMPARE(requests.size(), 1);
    const auto& request = requests.first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.path, "/" + path);
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("X-Kestrel-App"), secret.toUtf8());
    QCOMPARE(request.header("Host"), "127.0.0.1:" + QByteArray::number(m_agent->port()));
    QCOMPARE(request.body, body);
}

void TestPairingRequest::judgesTheReply_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("failure");

    QTest::newRow("200 with a body") << 200 << QByteArray("{\"ok\":true}") << true << QString();
    QTest::newRow("200 with an empty body") << 200 << QByteArray() << true << QString();
    QTest::newRow("200 with an error member")
        << 200 << QByteArray("{\"error\":\"нет\"}") << true << QString();
    QTest::newRow("403 with a string error")
        << 403 << QByteArray("{\"error\":\"Сертификат не найден\"}") << false
        << QStringLiteral("Сертификат не найден");
    QTest::newRow("403 with an empty string error")
        << 403 << QByteArray("{\"error\":\"\"}") << false << QString("");
    QTest::newRow("403 with a numeric error")
        << 403 << QByteArray("{\"error\":403}") << false << failureMessage;
    QTest::newRow("403 without an error")
        << 403 << QByteArray("{\"message\":\"x\"}") << false << failureMessage;
    QTest::newRow("403 with an array")
        << 403 << QByteArray("[\"error\"]") << false << failureMessage;
    QTest::newRow("500 not JSON") << 500 << QByteArray("Internal Server Error") << false
                                  << failureMessage;
    QTest::newRow("201 with a valid body") << 201 << QByteArray("{}") << false << failureMessage;
    QTest::newRow("204") << 204 << QByteArray() << false << failureMessage;
}

void TestPairingRequest::judgesTheReply() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, success);
    QFETCH(QString, failure);
    m_agent->setReply("/" + path, {.status = status, .body = body}, "POST");

    const auto completion = send(std::nullopt);
    QTRY_COMPARE(completion->calls, 1);

    QCOMPARE(completion->outcome.body.has_value(), success);
    if (success) {
        QCOMPARE(*completion->outcome.body, body);
    } else {
        QCOMPARE(completion->outcome.failure, failure);
        QCOMPARE(completion->outcome.failure.isNull(), failure.isNull());
    }
}

void TestPairingRequest::neverFollowsRedirects() {
    FakeAgent target;
    target.setReply("/" + path, {.body = "{}"}, "POST");
    const QUrl location = target.baseUrl().resolved(QUrl("/" + path));
    m_agent->setReply("/" + path,
                      {.status = 302,
                       .body = "{\"error\":\"перенаправлено\"}",
                       .headers = {{"Location", location.toEncoded()}}},
                      "POST");

    const auto completion = send(std::nullopt);
    QTRY_COMPARE(completion->calls, 1);

    QVERIFY(!completion->outcome.body);
    QCOMPARE(completion->outcome.failure, QStringLiteral("перенаправлено"));
    QCOMPARE(target.requests().size(), 0);

    // The same reply without a message gives the caller's text.
    m_agent->setReply("/" + path,
                      {.status = 302, .body = {}, .headers = {{"Location", location.toEncoded()}}},
                      "POST");
    const auto bare = send(std::nullopt);
    QTRY_COMPARE(bare->calls, 1);
    QCOMPARE(bare->outcome.failure, failureMessage);
    QCOMPARE(target.requests().size(), 0);
}

void TestPairingRequest::ignoresEveryProxy() {
    FakeAgent proxy;
    const QByteArray proxyUrl = proxy.baseUrl().toEncoded();
    qputenv("http_proxy", proxyUrl);
    qputenv("HTTP_PROXY", proxyUrl);
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.port()));
    m_agent->setReply("/" + path, {.body = "{}"}, "POST");

    // Qt itself keeps the environment's and the application's proxy away from
    // loopback hosts; a proxy set on the session is used even there, as an
    // ordinary session shows.
    QNetworkAccessManager ordinary;
    ordinary.setProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.port()));
    QNetworkRequest probe(m_agent->baseUrl().resolved(QUrl("/" + path)));
    probe.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    std::unique_ptr<QNetworkReply> probeReply(ordinary.post(probe, QByteArray("{}")));
    QTRY_VERIFY(probeReply->isFinished());
    QCOMPARE(proxy.requests().size(), 1);
    QCOMPARE(m_agent->requests().size(), 0);

    // A factory-made session, reconfigured by someone after creation.
    m_session = std::make_unique<QNetworkAccessManager>();
    m_session->setProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.port()));
    const auto completion = send(std::nullopt);
    QTRY_COMPARE(completion->calls, 1);
    QVERIFY(completion->outcome.body);
    QCOMPARE(m_agent->requests().size(), 1);
    QCOMPARE(proxy.requests().size(), 1);
}

void TestPairingRequest::unreachableAgentFails() {
    const QUrl base = m_agent->baseUrl();
    m_agent.reset();
    auto completion = std::make_shared<Completion>();
    sendPairingRequest(*m_session, {base, path, secret, std::nullopt, failureMessage},
                       m_context.get(), [completion](PairingOutcome outcome) {
                           ++completion->calls;
                           completion->outcome = std::move(outcome);
                       });
    QTRY_COMPARE(completion->calls, 1);
    QVERIFY(!completion->outcome.body);
    QCOMPARE(completion->outcome.failure, failureMessage);
    m_agent = std::make_unique<FakeAgent>();
}

void TestPairingRequest::wholeExchangeIsLimited() {
    // One byte every 100 ms never trips an idle limit of a second; only the
    // limit on the whole exchange ends it.
    m_agent->setReply("/" + path, {.body = QByteArray(40, 'x'), .drip = 100ms}, "POST");
    QElapsedTimer elapsed;
    elapsed.start();
    const auto completion = send(std::nullopt, {.idle = 1s, .whole = 600ms});
    QTRY_COMPARE_WITH_TIMEOUT(completion->calls, 1, 3000);
    QVERIFY(!completion->outcome.body);
    QCOMPARE(completion->outcome.failure, failureMessage);
    QVERIFY2(elapsed.elapsed() < 2000, qPrintable(QString::number(elapsed.elapsed())));
}

void TestPairingRequest::completesOnceOnTheMainThread() {
    m_agent->setReply("/" + path, {.body = "{}", .delay = 50ms}, "POST");
    const auto completion = send(std::nullopt, {.idle = 150ms, .whole = 200ms});
    QTRY_COMPARE(completion->calls, 1);
    QVERIFY(completion->onMainThread);
    QVERIFY(completion->outcome.body);
    // Past both limits: a timer left running would now report a second time.
    QTest::qWait(300);
    QCOMPARE(completion->calls, 1);
}

void TestPairingRequest::nothingOnceTheContextIsGone() {
    m_agent->setReply("/" + path, {.body = "{}", .delay = 100ms}, "POST");
    const auto completion = send(std::nullopt);
    QSignalSpy finished(m_session.get(), &QNetworkAccessManager::finished);
    m_context.reset();
    QVERIFY(finished.wait());
    QCoreApplication::processEvents();
    QCOMPARE(completion->calls, 0);
}

QTEST_GUILESS_MAIN(TestPairingRequest)
#include "tst_pairing_request.moc"
