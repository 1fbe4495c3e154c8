#include "support/AppHarness.h"
#include "support/FakeAgent.h"
#include "ui/MainWindow.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;

namespace {

const QString previewPath = QStringLiteral("/v1/app/pairing-preview");
const QString confirmPath = QStringLiteral("/v1/app/pairing-confirm");
const QString unlockPath = QStringLiteral("/v1/app/unlock-credentials");
const QString resumePath = QStringLiteral("/v1/app/resume");
const QString alertTitle = QStringLiteral("Подключение агента");
const QString pairingFailed = QStringLiteral(
    "Не удалось подтвердить подключение. Повторите «Открыть Агент KESTREL» в кабинете.");

QString makeToken(char fill) {
    return QString(63, QLatin1Char(fill)) + QLatin1Char('_');
}

QUrl linkFor(const QString& token) {
    return QUrl(QStringLiteral("kestrel://connect?pairingToken=") + token, QUrl::StrictMode);
}

QByteArray tokenBody(const QString& token) {
    return "{\"pairingToken\":\"" + token.toLatin1() + "\"}";
}

QJsonObject previewObject() {
    return {{"organizationName", "ООО «Ромашка»"},
            {"inn", "7701234567"},
            {"environment", "production"},
            {"certificateThumbprint", "A1B2C3D4E5F6A7B8"},
            {"certificateSubject", "CN=Иванов"},
            {"certificateValidTo", "2026-03-31"},
            {"settings", QJsonObject{{"autoSign", true},
                                     {"renewTrueApi", false},
                                     {"renewSuz", true},
                                     {"autoPrepareFbs", false}}}};
}

QByteArray json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray lockedHealth() {
    return healthBody("1.0.0", {{"signing", QJsonObject{{"configured", true},
                                                        {"enabled", false},
                                                        {"code", "keychain_locked"},
                                                        {"message", "нужен доступ"}}}});
}

} // namespace

class TestPairingFlow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void confirmedPairing();
    void cancelSendsNothing();
    void confirmFailureAlertsAndRefreshes_data();
    void confirmFailureAlertsAndRefreshes();
    void previewFailures_data();
    void previewFailures();
    void linksDuringPairingAreDropped();
    void linksWaitForReadyAgent();

    void integrationPageWithoutLock_data();
    void integrationPageWithoutLock();
    void unlockSendsOneRequest();
    void unlockFailureShowsInSigningLine_data();
    void unlockFailureShowsInSigningLine();

    void wakeWaitsForReadyAgent();
    void failingResumeRetriesOnReadyReplies();
    void wakeDuringResumeSendsNoSecondRequest();

private:
    AppDelegate& launch(bool ready = true);
    // One health poll, waited for to the end.
    void poll();
    QList<RecordedRequest> requestsTo(const QString& path) const;
    QList<RecordingPresenter::Alert> pairingAlerts() const;
    int eventCount(const QString& event) const;

    std::unique_ptr<FakeAgent> m_agent;
    std::unique_ptr<AppHarness> m_harness;
    QStringList m_tokens;
};

void TestPairingFlow::init() {
    m_agent = std::make_unique<FakeAgent>();
    QVERIFY(m_agent->isListening());
    m_agent->setReply("/v1/health", {.body = healthBody("1.0.0")});
    m_agent->setReply(previewPath, {.body = json(previewObject())}, "POST");
    m_agent->setReply(confirmPath, {.body = "{}"}, "POST");
    m_agent->setReply(unlockPath, {.body = "{}"}, "POST");
    m_agent->setReply(resumePath, {.body = "{}"}, "POST");

    m_harness = std::make_unique<AppHarness>();
    Config& config = m_harness->config;
    config.agentBaseUrl = m_agent->baseUrl();
    config.privateAgentUrl = m_agent->baseUrl();
    // Polls happen when a test asks for them.
    config.pollInterval = 3600.0;
    config.updateHost = QStringLiteral("127.0.0.1");
    config.updateManifestUrl = m_agent->baseUrl().resolved(QUrl("/downloads/latest.json"));
    // The agent records the secret it was handed, then idles like a real one.
    m_harness->installAgentScript("printf '%s' \"$KESTREL_APP_SECRET\" > '" +
                                  m_harness->home.filePath("agent-secret").toUtf8() +
                                  "'\nexec sleep 600");
    m_tokens.clear();
}

void TestPairingFlow::cleanup() {
    const QString log = m_harness->logLines().join(QLatin1Char('\n'));
    QFile secretFile(m_harness->home.filePath("agent-secret"));
    const QString secret =
        secretFile.open(QIODevice::ReadOnly) ? QString::fromUtf8(secretFile.readAll()) : QString();
    m_harness.reset();
    m_agent.reset();

    QVERIFY(!log.isEmpty());
    QCOMPARE(secret.size(), 72);
    QVERIFY2(!log.contains(secret), "the log holds the secret");
    for (const QString& token : std::as_const(m_tokens))
        QVERIFY2(!log.contains(token), "the log holds a pairing token");
}

AppDelegate& TestPairingFlow::launch(bool ready) {
    if (!ready)
        m_agent->setReply("/v1/health", {.status = 503, .body = "{}"});
    AppDelegate& delegate = m_harness->launch();
    // The first poll of the launch has been answered; a test that goes on
    // without it fails on its own checks.
    if (!QTest::qWaitFor(
            [&] {
                return m_agent->requestCount("/v1/health") >= 1 &&
                       !delegate.state().refreshInFlight;
            },
            5000))
        qWarning("the launch's health poll did not end");
    return delegate;
}

void TestPairingFlow::poll() {
    AppDelegate& delegate = *m_harness->delegate;
    delegate.refreshStatus();
    QTRY_VERIFY(!delegate.state().refreshInFlight);
}

QList<RecordedRequest> TestPairingFlow::requestsTo(const QString& path) const {
    QList<RecordedRequest> result;
    for (const RecordedRequest& request : m_agent->requests())
        if (request.path == path)
            result.append(request);
    return result;
}

QList<RecordingPresenter::Alert> TestPairingFlow::pairingAlerts() const {
    QList<RecordingPresenter::Alert> result;
    for (const auto& alert : m_harness->presenter->alerts)
        if (alert.title == alertTitle)
            result.append(alert);
    return result;
}

int TestPairingFlow::eventCount(const QString& event) const {
    return static_cast<int>(m_harness->events().count(event));
}

void TestPairingFlow::confirmedPairing() {
    AppDelegate& delegate = launch();
    QVERIFY(delegate.state().isAgentReady);
    const int activations = m_harness->desktop->activations;
    const QString token = makeToken('a');
    m_tokens << token;

    delegate.openUrls({linkFor(token)});
    QVERIFY(delegate.state().pairingInFlight);
    QVERIFY(!delegate.state().pendingPairingToken);
    QCOMPARE(m_harness->desktop->activations, activations + 1);
    QTRY_COMPARE(m_harness->presenter->sheets.size(), 1);

    const auto previews = requestsTo(previewPath);
    QCOMPARE(previews.size(), 1);
    QCOMPARE(previews.first().body, tokenBody(token));
    QCOMPARE(previews.first().header("Content-Type"), QByteArray("application/json"));
    QFile secretFile(m_harness->home.filePath("agent-secret"));
    QVERIFY(secretFile.open(QIODevice::ReadOnly));
    QCOMPARE(previews.first().header("X-Kestrel-App"), secretFile.readAll());

    const auto& sheet = m_harness->presenter->sheets.first();
    QCOMPARE(sheet.title, QStringLiteral("Подключить Агент KESTREL?"));
    QCOMPARE(sheet.acceptButton, QStringLiteral("Подключить и подтвердить УКЭП"));
    QCOMPARE(sheet.rejectButton, QStringLiteral("Отмена"));
    QCOMPARE(sheet.text, QStringLiteral("ООО «Ромашка»\nИНН 7701234567 · Рабочий кабинет\n\n"
                                        "УКЭП …E5F6A7B8\nДействует до 2026-03-31\n\n"
                                        "✓ Автоподписание FBS\n— Продление ЧЗ\n✓ Продление СУЗ"));

    const int polls = m_agent->requestCount("/v1/health");
    m_harness->presenter->answerSheet(true);
    QTRY_COMPARE(requestsTo(confirmPath).size(), 1);
    QCOMPARE(requestsTo(confirmPath).first().body, tokenBody(token));
    QTRY_VERIFY(!delegate.state().pairingInFlight);
    QTRY_COMPARE(m_agent->requestCount("/v1/health"), polls + 1);
    QVERIFY(pairingAlerts().isEmpty());
}

void TestPairingFlow::cancelSendsNothing() {
    AppDelegate& delegate = launch();
    const QString token = makeToken('b');
    m_tokens << token;
    delegate.openUrls({linkFor(token)});
    QTRY_COMPARE(m_harness->presenter->sheets.size(), 1);

    const int requests = m_agent->requests().size();
    m_harness->presenter->answerSheet(false);
    QVERIFY(!delegate.state().pairingInFlight);
    QVERIFY(!delegate.state().pendingPairingToken);
    QCOMPARE(m_agent->requests().size(), requests);
    QVERIFY(pairingAlerts().isEmpty());

    // The same link again is a new pairing; the agent judges the token.
    delegate.openUrls({linkFor(token)});
    QTRY_COMPARE(requestsTo(previewPath).size(), 2);
    QCOMPARE(requestsTo(confirmPath).size(), 0);
}

void TestPairingFlow::confirmFailureAlertsAndRefreshes_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QTest::newRow("agent message")
        << 403 << QByteArray("{\"error\":\"Токен истёк\"}") << QStringLiteral("Токен истёк");
    QTest::newRow("no agent message") << 500 << QByteArray("oops") << pairingFailed;
}

void TestPairingFlow::confirmFailureAlertsAndRefreshes() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    m_agent->setReply(confirmPath, {.status = status, .body = body}, "POST");
    AppDelegate& delegate = launch();
    const QString token = makeToken('c');
    m_tokens << token;
    delegate.openUrls({linkFor(token)});
    QTRY_COMPARE(m_harness->presenter->sheets.size(), 1);

    const int polls = m_agent->requestCount("/v1/health");
    m_harness->presenter->answerSheet(true);
    QTRY_COMPARE(pairingAlerts().size(), 1);
    QCOMPARE(pairingAlerts().first().message, message);
    QVERIFY(!delegate.state().pairingInFlight);
    QTRY_COMPARE(m_agent->requestCount("/v1/health"), polls + 1);
}

void TestPairingFlow::previewFailures_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QJsonObject noSubject = previewObject();
    noSubject.remove("certificateSubject");
    QJsonObject numericFlag = previewObject();
    QJsonObject settings = numericFlag["settings"].toObject();
    settings["autoSign"] = 1;
    numericFlag["settings"] = settings;
    const QString damaged = QStringLiteral("Запрос подключения повреждён.");

    QTest::newRow("agent message") << 403 << QByteArray("{\"error\":\"Ссылка устарела\"}")
                                   << QStringLiteral("Ссылка устарела");
    QTest::newRow("not JSON") << 500 << QByteArray("<html>") << pairingFailed;
    QTest::newRow("missing certificateSubject") << 200 << json(noSubject) << damaged;
    QTest::newRow("autoSign as number") << 200 << json(numericFlag) << damaged;
}

void TestPairingFlow::previewFailures() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    m_agent->setReply(previewPath, {.status = status, .body = body}, "POST");
    AppDelegate& delegate = launch();
    const QString token = makeToken('d');
    m_tokens << token;

    delegate.openUrls({linkFor(token)});
    QTRY_COMPARE(pairingAlerts().size(), 1);
    QCOMPARE(pairingAlerts().first().message, message);
    QVERIFY(!delegate.state().pairingInFlight);
    QVERIFY(!delegate.state().pendingPairingToken);
    QVERIFY(m_harness->presenter->sheets.isEmpty());
    QCOMPARE(requestsTo(confirmPath).size(), 0);
}

void TestPairingFlow::linksDuringPairingAreDropped() {
    AppDelegate& delegate = launch();
    const QString first = makeToken('e');
    const QString second = makeToken('f');
    m_tokens << first << second;
    delegate.openUrls({linkFor(first)});
    QTRY_COMPARE(m_harness->presenter->sheets.size(), 1);

    delegate.openUrls({linkFor(second)});
    QVERIFY(!delegate.state().pendingPairingToken);
    m_harness->presenter->answerSheet(false);
    poll();
    QCOMPARE(requestsTo(previewPath).size(), 1);
    QVERIFY(m_harness->presenter->sheets.isEmpty());
}

void TestPairingFlow::linksWaitForReadyAgent() {
    AppDelegate& delegate = launch(false);
    QVERIFY(!delegate.state().isAgentReady);
    const int activations = m_harness->desktop->activations;
    const QString first = makeToken('g');
    const QString second = makeToken('h');
    m_tokens << first << second;

    delegate.openUrls({linkFor(first)});
    delegate.openUrls({linkFor(second)});
    // A link that is refused leaves the parked one alone.
    delegate.openUrls({linkFor(first + QStringLiteral("x"))});
    QCOMPARE(delegate.state().pendingPairingToken, std::optional<QString>(second));
    QVERIFY(!delegate.state().pairingInFlight);
    poll();
    QCOMPARE(requestsTo(previewPath).size(), 0);
    QCOMPARE(m_harness->desktop->activations, activations);

    m_agent->setReply("/v1/health", {.body = healthBody("1.0.0")});
    poll();
    QTRY_COMPARE(requestsTo(previewPath).size(), 1);
    QCOMPARE(requestsTo(previewPath).first().body, tokenBody(second));
    QCOMPARE(m_harness->desktop->activations, activations + 1);
    QVERIFY(!delegate.state().pendingPairingToken);
    QTRY_COMPARE(m_harness->presenter->sheets.size(), 1);
}

void TestPairingFlow::integrationPageWithoutLock_data() {
    QTest::addColumn<QUrl>("portal");
    QTest::addColumn<QList<QUrl>>("opened");
    QTest::newRow("cabinet origin")
        << QUrl("https://cabinet.kestrel.example")
        << QList<QUrl>{QUrl("https://cabinet.kestrel.example/app?view=integration")};
    QTest::newRow("origin with slash")
        << QUrl("https://cabinet.kestrel.example/")
        << QList<QUrl>{QUrl("https://cabinet.kestrel.example/app?view=integration")};
    QTest::newRow("no origin") << QUrl() << QList<QUrl>{};
}

void TestPairingFlow::integrationPageWithoutLock() {
    QFETCH(QUrl, portal);
    QFETCH(QList<QUrl>, opened);
    m_harness->config.portalUrl = portal;
    AppDelegate& delegate = launch();
    QVERIFY(!delegate.state().needsCredentialAccess);

    delegate.openSigningSettings();
    QCOMPARE(m_harness->desktop->opened, opened);
    poll();
    QCOMPARE(requestsTo(unlockPath).size(), 0);
    QVERIFY(!delegate.state().credentialAccessInFlight);
}

void TestPairingFlow::unlockSendsOneRequest() {
    m_agent->setReply("/v1/health", {.body = lockedHealth()});
    m_agent->setReply(unlockPath, {.body = "{}", .delay = 300ms}, "POST");
    AppDelegate& delegate = launch();
    QVERIFY(delegate.state().needsCredentialAccess);
    QPushButton* button = delegate.window()->signingButton();
    QCOMPARE(button->text(), QStringLiteral("Разрешить доступ"));

    delegate.openSigningSettings();
    delegate.openSigningSettings();
    QVERIFY(delegate.state().credentialAccessInFlight);
    QVERIFY(!button->isEnabled());
    QCOMPARE(button->text(), QStringLiteral("Ожидаем разрешение…"));
    QTRY_COMPARE(requestsTo(unlockPath).size(), 1);
    QCOMPARE(requestsTo(unlockPath).first().body, QByteArray("{}"));

    const int polls = m_agent->requestCount("/v1/health");
    QTRY_VERIFY(!delegate.state().credentialAccessInFlight);
    QTRY_COMPARE(m_agent->requestCount("/v1/health"), polls + 1);
    QTRY_VERIFY(!delegate.state().refreshInFlight);
    QCOMPARE(requestsTo(unlockPath).size(), 1);
    QVERIFY(m_harness->desktop->opened.isEmpty());
}

void TestPairingFlow::unlockFailureShowsInSigningLine_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("line");
    QTest::newRow("agent message") << 403 << QByteArray("{\"error\":\"Доступ запрещён\"}")
                                   << QStringLiteral("Подпись: Доступ запрещён");
    QTest::newRow("no agent message")
        << 500 << QByteArray()
        << QStringLiteral("Подпись: Не удалось проверить доступ. Повторите попытку в приложении.");
}

void TestPairingFlow::unlockFailureShowsInSigningLine() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, line);
    m_agent->setReply("/v1/health", {.body = lockedHealth()});
    m_agent->setReply(unlockPath, {.status = status, .body = body}, "POST");
    AppDelegate& delegate = launch();
    QVERIFY(delegate.state().needsCredentialAccess);
    // The refresh after the reply carries no signing record, so nothing
    // rewrites the line.
    m_agent->setReply("/v1/health", {.body = healthBody("1.0.0", {}, {"signing"})});

    delegate.openSigningSettings();
    QTRY_VERIFY(!delegate.state().credentialAccessInFlight);
    QCOMPARE(delegate.window()->signingDetails()->text(), line);
    QTRY_VERIFY(!delegate.state().refreshInFlight);
    QCOMPARE(delegate.window()->signingDetails()->text(), line);
    QVERIFY(pairingAlerts().isEmpty());
    QVERIFY(m_harness->presenter->alerts.isEmpty());
}

void TestPairingFlow::wakeWaitsForReadyAgent() {
    AppDelegate& delegate = launch(false);
    m_harness->wake->wake();
    QVERIFY(m_harness->logged("system_wake"));
    QVERIFY(delegate.state().resumeCheckPending);
    QTRY_VERIFY(!delegate.state().refreshInFlight);
    poll();
    QCOMPARE(requestsTo(resumePath).size(), 0);

    m_agent->setReply("/v1/health", {.body = healthBody("1.0.0")});
    poll();
    QTRY_COMPARE(requestsTo(resumePath).size(), 1);
    QCOMPARE(requestsTo(resumePath).first().body, QByteArray("{}"));
    QTRY_COMPARE(eventCount("wake_check_requested"), 1);
    QVERIFY(!delegate.state().resumeCheckPending);
    QCOMPARE(eventCount("wake_check_retry"), 0);
}

void TestPairingFlow::failingResumeRetriesOnReadyReplies() {
    // The delay lets the wake's own health poll end before the first failure.
    m_agent->setReply(resumePath, {.status = 500, .body = "{}", .delay = 150ms}, "POST");
    AppDelegate& delegate = launch();
    m_harness->wake->wake();
    QTRY_COMPARE(eventCount("wake_check_retry"), 1);
    QCOMPARE(requestsTo(resumePath).size(), 1);
    QVERIFY(delegate.state().resumeCheckPending);

    for (int attempt = 2; attempt <= 3; ++attempt) {
        poll();
        QCOMPARE(requestsTo(resumePath).size(), attempt);
        QTRY_COMPARE(eventCount("wake_check_retry"), attempt);
        QCOMPARE(eventCount("wake_check_requested"), 0);
    }

    m_agent->setReply(resumePath, {.body = "{}"}, "POST");
    poll();
    QTRY_COMPARE(eventCount("wake_check_requested"), 1);
    QCOMPARE(requestsTo(resumePath).size(), 4);
    QCOMPARE(eventCount("wake_check_retry"), 3);
    QTRY_VERIFY(!delegate.state().refreshInFlight);
    poll();
    QCOMPARE(requestsTo(resumePath).size(), 4);
}

void TestPairingFlow::wakeDuringResumeSendsNoSecondRequest() {
    m_agent->setReply(resumePath, {.body = "{}", .delay = 500ms}, "POST");
    AppDelegate& delegate = launch();
    m_harness->wake->wake();
    QVERIFY(delegate.state().resumeRequestInFlight);
    QTRY_VERIFY(!delegate.state().refreshInFlight);

    m_harness->wake->wake();
    QTRY_VERIFY(!delegate.state().refreshInFlight);
    QVERIFY(delegate.state().resumeRequestInFlight);
    QVERIFY(delegate.state().resumeCheckPending);
    QTRY_COMPARE(requestsTo(resumePath).size(), 1);

    // The success refreshes the status; that ready reply sends the owed one.
    QTRY_COMPARE(eventCount("wake_check_requested"), 1);
    QTRY_COMPARE(requestsTo(resumePath).size(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(eventCount("wake_check_requested"), 2, 5000);
    QVERIFY(!delegate.state().resumeCheckPending);
}

QTEST_MAIN(TestPairingFlow)
#include "tst_pairing_flow.moc"
