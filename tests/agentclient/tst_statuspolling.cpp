#include "agentclient/PrinterListModel.h"
#include "support/AppHarness.h"
#include "support/FakeAgent.h"
#include "ui/MainWindow.h"

#include <QAction>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(kestrel::test::FakeReply)

namespace {

const QString healthPath = QStringLiteral("/v1/health");
const QString printersPath = QStringLiteral("/v1/printers");

// A port nothing listens on: the system handed it out a moment ago.
quint16 closedPort() {
    FakeAgent gone;
    return gone.port();
}

FakeReply healthy(const QString& version = QStringLiteral("1.0.0"),
                  const QJsonObject& overrides = {}, const QStringList& removed = {}) {
    return FakeReply{.body = healthBody(version, overrides, removed)};
}

QByteArray printersBody(bool ok, const QList<QPair<QString, bool>>& printers) {
    QJsonArray list;
    for (const auto& [name, isDefault] : printers)
        list.append(QJsonObject{{"name", name}, {"isDefault", isDefault}});
    return QJsonDocument(QJsonObject{{"ok", ok}, {"printers", list}}).toJson();
}

struct HealthLine {
    QString summary;
    qint64 failures = -1;
};

// The "health_result" lines of the log, without their timing.
QList<HealthLine> healthLines(const AppHarness& harness) {
    static const QRegularExpression shape(QRegularExpression::anchoredPattern(
        QStringLiteral(R"(health_result (.*) request_s=\d+\.\d{3} failures=(\d+))")));
    QList<HealthLine> lines;
    for (const QString& event : harness.events()) {
        if (!event.startsWith(QStringLiteral("health_result")))
            continue;
        const auto match = shape.match(event);
        lines.append(match.hasMatch()
                         ? HealthLine{match.captured(1), match.captured(2).toLongLong()}
                         : HealthLine{event, -1});
    }
    return lines;
}

// The "printers_result" outcomes of the log, without their timing.
QStringList printerLines(const AppHarness& harness) {
    static const QRegularExpression shape(QRegularExpression::anchoredPattern(
        QStringLiteral(R"(printers_result (.*) request_s=\d+\.\d{3})")));
    QStringList lines;
    for (const QString& event : harness.events()) {
        if (event.startsWith(QStringLiteral("printers_result")))
            lines.append(shape.match(event).hasMatch() ? shape.match(event).captured(1) : event);
    }
    return lines;
}

int countEvents(const AppHarness& harness, const QString& prefix) {
    const QStringList events = harness.events();
    return int(std::count_if(events.cbegin(), events.cend(),
                             [&](const QString& event) { return event.startsWith(prefix); }));
}

QStringList rowTexts(const AppDelegate& delegate) {
    QStringList rows;
    const QAbstractItemModel* model = delegate.window()->printersTable()->model();
    for (int row = 0; row < model->rowCount(); ++row)
        rows.append(model->index(row, 0).data().toString());
    return rows;
}

} // namespace

class TestStatusPolling : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void refusedPollShowsStarting();
    void everyFailedPollAsksForTheAgent();
    void failureLinesEveryTenth();
    void unhealthyReplies_data();
    void unhealthyReplies();
    void readyAgent();
    void readyAfterOwnLaunchTimesTheStart();
    void foreignVersion();
    void signingLine_data();
    void signingLine();
    void signingButtonWhileUnlocking();
    void signingKeptWithoutRecord();
    void statusRequestsCarryNoSecret();
    void hungAgent();
    void drippingBody();

    void onePrinterRequestAtATime();
    void printerListAndEmptyLabel();
    void okFalseKeepsTheList();
    void missingIsDefaultReplacesNothing();
    void failingOutcomeLoggedOnce();

private:
    // Launches the controller and waits until its first poll has been handled.
    bool launch();
    // One health poll and the printer request it starts, if any.
    bool poll(int timeoutMs = 5000);
    AppDelegate& delegate() { return *m_harness->delegate; }
    MainWindow& window() { return *m_harness->delegate->window(); }

    std::unique_ptr<FakeAgent> m_agent;
    std::unique_ptr<AppHarness> m_harness;
};

void TestStatusPolling::initTestCase() {
    // A proxy from the environment would carry loopback requests elsewhere.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
}

void TestStatusPolling::init() {
    m_agent = std::make_unique<FakeAgent>();
    QVERIFY(m_agent->isListening());
    m_harness = std::make_unique<AppHarness>();
    m_harness->config.agentBaseUrl = m_agent->baseUrl();
    m_harness->config.privateAgentUrl = m_agent->baseUrl();
    m_harness->config.updateManifestUrl =
        QUrl(QStringLiteral("https://127.0.0.1:%1/latest.json").arg(closedPort()));
    m_harness->config.updateHost = QStringLiteral("127.0.0.1");
    // Polls come from the tests, not from the timer.
    m_harness->config.pollInterval = 3600.0;
}

void TestStatusPolling::cleanup() {
    // The controller goes first: its requests must not outlive the agent.
    m_harness.reset();
    m_agent.reset();
}

bool TestStatusPolling::launch() {
    m_harness->launch();
    return QTest::qWaitFor(
        [this] {
            return m_harness->logged(QStringLiteral("health_result")) &&
                   !delegate().state().refreshInFlight &&
                   !delegate().state().printerRefreshInFlight;
        },
        5000);
}

bool TestStatusPolling::poll(int timeoutMs) {
    delegate().refreshStatus();
    return QTest::qWaitFor(
        [this] {
            return !delegate().state().refreshInFlight &&
                   !delegate().state().printerRefreshInFlight;
        },
        timeoutMs);
}

void TestStatusPolling::refusedPollShowsStarting() {
    m_harness->config.agentBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(closedPort()));
    // An agent that runs but never answers keeps the starting state on screen.
    m_harness->installAgentScript("exec sleep 30");
    QVERIFY(launch());

    const QList<HealthLine> lines = healthLines(*m_harness);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].summary, "http=0 error=QNetworkReply:1 valid=false version=none");
    QCOMPARE(lines[0].failures, 1);
    QCOMPARE(delegate().state().healthFailures, 1);
    QVERIFY(!delegate().state().isAgentReady);
    QCOMPARE(delegate().state().statusColor, StatusColor::Orange);
    QCOMPARE(window().statusTitle()->text(), "Служба запускается…");
    QCOMPARE(window().statusDetails()->text(), "Приложение повторит подключение автоматически.");
    QCOMPARE(delegate().trayMenu()->actions().at(1)->text(), "Служба запускается…");
    // The running agent is left alone.
    QCOMPARE(delegate().state().helperAttempt, 1);
    QVERIFY(window().refreshButton()->isEnabled());
}

void TestStatusPolling::everyFailedPollAsksForTheAgent() {
    m_agent->setReply(healthPath, FakeReply{.status = 503});
    QVERIFY(launch());
    // One report from the start at launch, one from the failed first poll.
    QCOMPARE(countEvents(*m_harness, "helper_missing"), 2);
    QVERIFY(poll());
    QCOMPARE(countEvents(*m_harness, "helper_missing"), 3);
    QStringList events = m_harness->events();
    QVERIFY(events.indexOf(QRegularExpression("^health_result .*")) <
            events.lastIndexOf(QStringLiteral("helper_missing")));
    QCOMPARE(window().statusTitle()->text(), "Служба печати отсутствует");
}

void TestStatusPolling::failureLinesEveryTenth() {
    m_harness->config.agentBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(closedPort()));
    QVERIFY(launch());
    for (int i = 2; i <= 21; ++i)
        QVERIFY(poll());
    QCOMPARE(delegate().state().healthFailures, 21);

    const QList<HealthLine> lines = healthLines(*m_harness);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0].failures, 1);
    QCOMPARE(lines[1].failures, 10);
    QCOMPARE(lines[2].failures, 20);
    for (const HealthLine& line : lines)
        QCOMPARE(line.summary, "http=0 error=QNetworkReply:1 valid=false version=none");
}

void TestStatusPolling::unhealthyReplies_data() {
    QTest::addColumn<FakeReply>("reply");
    QTest::addColumn<QString>("summary");

    QTest::newRow("500 with a valid body") << FakeReply{.status = 500, .body = healthBody("1.0.0")}
                                           << "http=500 error=none:0 valid=true version=1.0.0";
    QTest::newRow("201 with a valid body") << FakeReply{.status = 201, .body = healthBody("1.0.0")}
                                           << "http=201 error=none:0 valid=true version=1.0.0";
    QTest::newRow("204") << FakeReply{.status = 204}
                         << "http=204 error=none:0 valid=false version=none";
    QTest::newRow("ok false") << healthy("1.0.0", {{"ok", false}})
                              << "http=200 error=none:0 valid=false version=1.0.0";
    QTest::newRow("broken signing")
        << healthy("1.0.0", {{"signing", QJsonObject{{"configured", true}, {"message", "x"}}}})
        << "http=200 error=none:0 valid=false version=none";
    QTest::newRow("not JSON") << FakeReply{.body = "<html>ok</html>"}
                              << "http=200 error=none:0 valid=false version=none";
}

void TestStatusPolling::unhealthyReplies() {
    QFETCH(FakeReply, reply);
    QFETCH(QString, summary);
    m_agent->setReply(healthPath, reply);
    m_agent->setReply(printersPath, FakeReply{.body = printersBody(true, {})});
    m_harness->installAgentScript("exec sleep 30");
    QVERIFY(launch());

    const QList<HealthLine> lines = healthLines(*m_harness);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].summary, summary);
    QCOMPARE(lines[0].failures, 1);
    QVERIFY(!delegate().state().isAgentReady);
    QCOMPARE(window().statusTitle()->text(), "Служба запускается…");
    QCOMPARE(m_agent->requestCount(printersPath), 0);
}

void TestStatusPolling::readyAgent() {
    m_agent->setReply(healthPath, healthy());
    m_agent->setReply(printersPath, FakeReply{.body = printersBody(true, {})});
    QVERIFY(launch());

    QCOMPARE(window().statusTitle()->text(), "Агент работает");
    QCOMPARE(window().statusDetails()->text(), "Версия 1.0.0 · x86_64 · устройство device-1");
    QCOMPARE(delegate().state().statusColor, StatusColor::Green);
    QVERIFY(delegate().state().isAgentReady);
    QCOMPARE(delegate().state().healthFailures, 0);
    const QList<HealthLine> lines = healthLines(*m_harness);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].summary, "http=200 error=none:0 valid=true version=1.0.0");
    QCOMPARE(lines[0].failures, 0);
    // No agent was started by this run.
    QVERIFY(m_harness->events().contains("service_ready helper_elapsed_s=unknown"));
    QCOMPARE(m_agent->requestCount(printersPath), 1);

    // A steady state writes nothing more; printers are asked on every ready poll.
    QVERIFY(poll());
    QVERIFY(poll());
    QCOMPARE(healthLines(*m_harness).size(), 1);
    QCOMPARE(countEvents(*m_harness, "service_ready"), 1);
    QCOMPARE(countEvents(*m_harness, "printers_result"), 1);
    QCOMPARE(m_agent->requestCount(printersPath), 3);
}

void TestStatusPolling::readyAfterOwnLaunchTimesTheStart() {
    m_agent->setReply(healthPath, healthy());
    m_agent->setReply(printersPath, FakeReply{.body = printersBody(true, {})});
    m_harness->installAgentScript("exec sleep 30");
    QVERIFY(launch());
    const QStringList events = m_harness->events();
    const qsizetype ready = events.indexOf(QRegularExpression("^service_ready .*"));
    QVERIFY(ready >= 0);
    QVERIFY2(QRegularExpression(
                 QRegularExpression::anchoredPattern(R"(service_ready helper_elapsed_s=0\.\d{3})"))
                 .match(events[ready])
                 .hasMatch(),
             qPrintable(events[ready]));
}

void TestStatusPolling::foreignVersion() {
    m_agent->setReply(healthPath, healthy("2.0.0"));
    m_agent->setReply(printersPath, FakeReply{.body = printersBody(true, {{"A", true}})});
    QVERIFY(launch());
    const qint64 attempts = delegate().state().helperAttempt;
    const int missing = countEvents(*m_harness, "helper_missing");
    QVERIFY(poll());

    QCOMPARE(window().statusTitle()->text(), "Найдена старая служба версии 2.0.0");
    QCOMPARE(window().statusDetails()->text(),
             "Завершите старую версию программы и снова откройте эту.");
    QCOMPARE(delegate().state().statusColor, StatusColor::Orange);
    QVERIFY(!delegate().state().isAgentReady);
    QCOMPARE(delegate().state().healthFailures, 0);
    QCOMPARE(healthLines(*m_harness).at(0).summary,
             "http=200 error=none:0 valid=true version=2.0.0");
    QCOMPARE(m_agent->requestCount(printersPath), 0);
    QCOMPARE(delegate().state().helperAttempt, attempts);
    QCOMPARE(countEvents(*m_harness, "helper_missing"), missing);
    QVERIFY(!m_harness->logged("service_ready"));
    QCOMPARE(window().signingDetails()->text(),
             "Подпись: подключите агент в разделе «Интеграции» кабинета.");
}

void TestStatusPolling::signingLine_data() {
    QTest::addColumn<QJsonValue>("code");
    QTest::addColumn<QJsonValue>("organization");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("button");

    const QJsonValue none = QJsonValue::Null;
    QTest::newRow("locked") << QJsonValue("keychain_locked") << QJsonValue("ООО Ромашка")
                            << "Подпись: готова · ООО Ромашка"
                            << "Разрешить доступ";
    QTest::newRow("other code") << QJsonValue("certificate_missing") << none << "Подпись: готова"
                                << "Настроить в кабинете";
    QTest::newRow("no code") << none << QJsonValue("ИП") << "Подпись: готова · ИП"
                             << "Настроить в кабинете";
}

void TestStatusPolling::signingLine() {
    QFETCH(QJsonValue, code);
    QFETCH(QJsonValue, organization);
    QFETCH(QString, line);
    QFETCH(QString, button);
    const QJsonObject signing{{"configured", true},
                              {"enabled", true},
                              {"code", code},
                              {"message", "готова"},
                              {"organizationName", organization}};
    m_agent->setReply(healthPath, healthy("1.0.0", {{"signing", signing}}));
    QVERIFY(launch());

    QCOMPARE(window().signingDetails()->text(), line);
    QCOMPARE(window().signingButton()->text(), button);
    QVERIFY(window().signingButton()->isEnabled());
    QCOMPARE(delegate().state().needsCredentialAccess, code == QJsonValue("keychain_locked"));
}

void TestStatusPolling::signingButtonWhileUnlocking() {
    const QJsonObject locked{{"configured", true},
                             {"enabled", true},
                             {"code", "keychain_locked"},
                             {"message", "ключи закрыты"}};
    m_agent->setReply(healthPath, healthy("1.0.0", {{"signing", locked}}));
    m_agent->setReply("/v1/app/unlock-credentials", FakeReply{.hang = true}, "POST");
    QVERIFY(launch());
    QCOMPARE(window().signingButton()->text(), "Разрешить доступ");

    delegate().openSigningSettings();
    QTRY_COMPARE_WITH_TIMEOUT(m_agent->requestCount("/v1/app/unlock-credentials"), 1, 3000);
    QVERIFY(delegate().state().credentialAccessInFlight);

    // Whatever the agent now says, the button waits for the running unlock.
    m_agent->setReply(healthPath, healthy("1.0.0"));
    QVERIFY(poll());
    QCOMPARE(window().signingDetails()->text(), "Подпись: готова · ООО Ромашка");
    QCOMPARE(window().signingButton()->text(), "Ожидаем разрешение…");
    QVERIFY(!window().signingButton()->isEnabled());
}

void TestStatusPolling::signingKeptWithoutRecord() {
    const QJsonObject locked{{"configured", true},
                             {"enabled", false},
                             {"code", "keychain_locked"},
                             {"message", "ключи закрыты"}};
    m_agent->setReply(healthPath, healthy("1.0.0", {{"signing", locked}}));
    QVERIFY(launch());
    m_agent->setReply(healthPath, healthy("1.0.0", {}, {"signing"}));
    QVERIFY(poll());
    QCOMPARE(window().signingDetails()->text(), "Подпись: ключи закрыты");
    QCOMPARE(window().signingButton()->text(), "Разрешить доступ");
    QVERIFY(delegate().state().needsCredentialAccess);
}

void TestStatusPolling::statusRequestsCarryNoSecret() {
    m_agent->setReply(healthPath, healthy());
    m_agent->setReply(printersPath, FakeReply{.body = printersBody(true, {{"A", true}})});
    QVERIFY(launch());
    QVERIFY(poll());
    const QList<RecordedRequest> requests = m_agent->requests();
    QCOMPARE(m_agent->requestCount(healthPath), 2);
    QCOMPARE(m_agent->requestCount(printersPath), 2);
    for (const RecordedRequest& request : requests) {
        QCOMPARE(request.method, "GET");
        for (const char* header : {"X-Kestrel-App", "Authorization", "Cookie", "Content-Type"})
            QVERIFY2(!request.hasHeader(header), header);
    }
}

void TestStatusPolling::hungAgent() {
    m_agent->setReply(healthPath, FakeReply{.hang = true});
    m_harness->create();
    QElapsedTimer clock;
    for (int round = 1; round <= 2; ++round) {
        clock.start();
        delegate().refreshStatus();
        QVERIFY(delegate().state().refreshInFlight);
        // Triggers while a poll is out are dropped, not queued.
        while (delegate().state().refreshInFlight && clock.elapsed() < 4000) {
            delegate().refreshNow();
            QTest::qWait(50);
        }
        QVERIFY2(clock.elapsed() <= 2300, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(m_agent->requestCount(healthPath), round);
        QCOMPARE(delegate().state().healthFailures, round);
    }
    QCOMPARE(healthLines(*m_harness).at(0).summary,
             "http=0 error=QNetworkReply:5 valid=false version=none");
}

void TestStatusPolling::drippingBody() {
    m_agent->setReply(healthPath, FakeReply{.body = healthBody("1.0.0"), .drip = 300ms});
    QVERIFY(launch());
    QElapsedTimer clock;
    clock.start();
    delegate().refreshNow();
    QVERIFY(!window().refreshButton()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!delegate().state().refreshInFlight, 4000);
    QVERIFY2(clock.elapsed() >= 1900 && clock.elapsed() <= 2400,
             qPrintable(QString::number(clock.elapsed())));
    QVERIFY(window().refreshButton()->isEnabled());
    QCOMPARE(healthLines(*m_harness).at(0).summary,
             "http=200 error=QNetworkReply:5 valid=false version=none");
    QVERIFY(!delegate().state().isAgentReady);
}

void TestStatusPolling::onePrinterRequestAtATime() {
    m_agent->setReply(healthPath, healthy());
    m_agent->setReply(printersPath, FakeReply{.body = printersBody(true, {}), .delay = 800ms});
    QVERIFY(launch());
    for (int i = 0; i < 2; ++i) {
        delegate().refreshStatus();
        QTRY_VERIFY_WITH_TIMEOUT(!delegate().state().refreshInFlight, 3000);
        QVERIFY(delegate().state().printerRefreshInFlight);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!delegate().state().printerRefreshInFlight, 3000);
    QCOMPARE(m_agent->requestCount(healthPath), 3);
    QCOMPARE(m_agent->requestCount(printersPath), 2);
}

void TestStatusPolling::printerListAndEmptyLabel() {
    m_agent->setReply(healthPath, healthy());
    m_agent->setReply(printersPath,
                      FakeReply{.body = printersBody(
                                    true, {{"Brother", true}, {"Canon", false}, {"Epson", true}})});
    QVERIFY(launch());
    QCOMPARE(rowTexts(delegate()),
             (QStringList{"Brother  ·  по умолчанию", "Canon", "Epson  ·  по умолчанию"}));
    QCOMPARE(delegate().state().printers.size(), size_t(3));
    QVERIFY(window().emptyPrintersLabel()->isHidden());
    QCOMPARE(window().printersTable()->sizeHintForRow(0), PrinterListModel::rowHeight);
    QCOMPARE(printerLines(*m_harness), QStringList{"http=200 error=none:0 valid=true count=3"});

    m_agent->setReply(printersPath, FakeReply{.body = printersBody(true, {})});
    QVERIFY(poll());
    QVERIFY(rowTexts(delegate()).isEmpty());
    QVERIFY(delegate().state().printers.empty());
    QVERIFY(!window().emptyPrintersLabel()->isHidden());
}

void TestStatusPolling::okFalseKeepsTheList() {
    m_agent->setReply(healthPath, healthy());
    m_agent->setReply(printersPath, FakeReply{.body = printersBody(true, {{"Brother", false}})});
    QVERIFY(launch());
    m_agent->setReply(printersPath,
                      FakeReply{.body = printersBody(false, {{"Canon", true}, {"Epson", false}})});
    QVERIFY(poll());

    QCOMPARE(rowTexts(delegate()), QStringList{"Brother"});
    QCOMPARE(delegate().state().printers, std::vector<Printer>{Printer("Brother", false)});
    QVERIFY(window().emptyPrintersLabel()->isHidden());
    QCOMPARE(printerLines(*m_harness).last(), "http=200 error=none:0 valid=false count=2");
}

void TestStatusPolling::missingIsDefaultReplacesNothing() {
    m_agent->setReply(healthPath, healthy());
    m_agent->setReply(printersPath, FakeReply{.body = printersBody(true, {})});
    QVERIFY(launch());
    QVERIFY(!window().emptyPrintersLabel()->isHidden());

    m_agent->setReply(printersPath, FakeReply{.body = R"({"ok":true,"printers":[
        {"name":"Brother","isDefault":true},{"name":"Canon"}]})"});
    QVERIFY(poll());
    QVERIFY(rowTexts(delegate()).isEmpty());
    QVERIFY(!window().emptyPrintersLabel()->isHidden());
    QCOMPARE(printerLines(*m_harness).last(), "http=200 error=none:0 valid=false count=0");
}

void TestStatusPolling::failingOutcomeLoggedOnce() {
    m_agent->setReply(healthPath, healthy());
    m_agent->setReply(printersPath, FakeReply{.status = 500, .body = "{}"});
    QVERIFY(launch());
    QVERIFY(poll());
    QVERIFY(poll());
    QCOMPARE(m_agent->requestCount(printersPath), 3);
    QCOMPARE(printerLines(*m_harness), QStringList{"http=500 error=none:0 valid=false count=0"});

    m_agent->setReply(printersPath, FakeReply{.status = 503, .body = "{}"});
    QVERIFY(poll());
    QVERIFY(poll());
    QCOMPARE(printerLines(*m_harness), (QStringList{"http=500 error=none:0 valid=false count=0",
                                                    "http=503 error=none:0 valid=false count=0"}));
}

QTEST_MAIN(TestStatusPolling)
#include "tst_statuspolling.moc"
