#include "agentclient/AgentHealth.h"
#include "agentclient/PrintersResponse.h"
#include "support/AppHarness.h"
#include "support/FakeAgent.h"
#include "ui/MainWindow.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QListView>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QTest>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(kestrel::test::FakeReply)

namespace {

const QJsonValue absent(QJsonValue::Undefined);
const char* const signingJson = R"({"configured": true, "enabled": false, "code": "locked",
    "message": "m", "organizationName": "o", "autoSign": true, "renewTrueApi": false,
    "renewSuz": false, "autoPrepareFbs": true})";
const char* const healthJson = R"({"ok": true, "name": "agent", "version": "1.2.3",
    "platform": "linux", "architecture": "arm64", "deviceId": "D", "formats": ["pdf"]})";

// A complete health (or printers) record with `key` set to `value`; an undefined value
// removes the member. "signing.x" is a member of the signing record, "printer.x" one of the
// second printer.
QByteArray record(bool health, const QString& key, const QJsonValue& value) {
    QJsonObject inner =
        QJsonDocument::fromJson(health ? signingJson : R"({"name": "B", "isDefault": false})")
            .object();
    QJsonObject outer = QJsonDocument::fromJson(health ? healthJson : R"({"ok": true})").object();
    const qsizetype dot = key.indexOf(u'.');
    if (dot > 0)
        inner.insert(key.mid(dot + 1), value);
    const QJsonObject first{{"name", "A"}, {"isDefault", true}};
    outer.insert(health ? "signing" : "printers",
                 health ? QJsonValue(inner) : QJsonArray{first, inner});
    if (dot < 0)
        outer.insert(key, value);
    return QJsonDocument(outer).toJson(QJsonDocument::Compact);
}

FakeReply printers(const char* ok, const QByteArray& list) {
    return {.body = R"({"ok": )" + QByteArray(ok) + R"(, "printers": [)" + list + "]}"};
}

} // namespace

class TestAgentClient : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeAgent> m_agent;
    std::unique_ptr<AppHarness> m_harness;

    AppDelegate& app() { return *m_harness->delegate; }
    MainWindow& window() { return *m_harness->delegate->window(); }
    bool settled() {
        return !app().state().refreshInFlight && !app().state().printerRefreshInFlight;
    }
    // Launches and waits until the first poll and the printer request it started are handled.
    bool launch() {
        m_harness->launch();
        return handled();
    }
    bool handled() {
        return QTest::qWaitFor([&] { return m_harness->logged("health_result") && settled(); });
    }
    // One poll, by the refresh button or the timer, with the button disabled while it is out.
    bool poll(bool button = true) {
        button ? app().refreshNow() : app().refreshStatus();
        const bool disabled = !window().refreshButton()->isEnabled();
        return QTest::qWaitFor([&] { return settled(); }) && disabled &&
               window().refreshButton()->isEnabled();
    }
    // The fields of every logged `event`, without the request's timing.
    QStringList lines(const QString& event) const {
        static const QRegularExpression timing(QStringLiteral(" request_s=\\d+\\.\\d{3}"));
        const QRegularExpression name("^" + event + " ?");
        QStringList found = m_harness->events().filter(name);
        return found.replaceInStrings(name, {}).replaceInStrings(timing, {});
    }

private slots:
    void decoding_data() {
        QTest::addColumn<bool>("health");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("decodes");
        const auto row = [](bool health, const char* key, const QJsonValue& value, bool decodes) {
            QString shown;
            QDebug(&shown).nospace() << value;
            QTest::addRow("%s %s %s", health ? "health" : "printers", key, qPrintable(shown))
                << health << record(health, key, value) << decodes;
        };
        for (const QJsonValue& value : {absent, QJsonValue()}) {
            for (const char* key :
                 {"ok", "name", "version", "platform", "architecture", "deviceId", "formats",
                  "signing.configured", "signing.enabled", "signing.message"})
                row(true, key, value, false);
            for (const char* key :
                 {"signing", "signing.code", "signing.organizationName", "signing.autoSign",
                  "signing.renewTrueApi", "signing.renewSuz", "signing.autoPrepareFbs"})
                row(true, key, value, true);
            for (const char* key : {"ok", "printers", "printer.name", "printer.isDefault"})
                row(false, key, value, false);
        }
        // Unknown members are ignored; a known one of the wrong type refuses the record.
        const std::tuple<bool, const char*, QJsonValue, bool> typed[] = {
            {true, "extra", 1, true},          {true, "signing.extra", 1, true},
            {false, "printer.extra", 1, true}, {true, "ok", 1, false},
            {true, "version", 1.2, false},     {true, "formats", QJsonArray{"pdf", 1}, false},
            {true, "signing", "ready", false}, {true, "signing.enabled", 1, false},
            {true, "signing.code", 5, false},  {true, "signing.autoSign", "yes", false},
            {false, "ok", 1, false},           {false, "printers", QJsonArray{"A"}, false},
            {false, "printer.name", 3, false}, {false, "printer.isDefault", 0, false},
        };
        for (const auto& [health, key, value, decodes] : typed)
            row(health, key, value, decodes);
        for (const char* body : {"[]", "\"ok\"", "null", "", "<html>ok</html>"}) {
            QTest::addRow("health body %s", body) << true << QByteArray(body) << false;
            QTest::addRow("printers body %s", body) << false << QByteArray(body) << false;
        }
    }

    void decoding() {
        QFETCH(bool, health);
        QFETCH(QByteArray, body);
        QFETCH(bool, decodes);
        QCOMPARE(health ? AgentHealth::fromBody(body).has_value()
                        : PrintersResponse::fromBody(body).has_value(),
                 decodes);
    }

    void init() {
        m_agent = std::make_unique<FakeAgent>();
        m_agent->setReply("/v1/health",
                          {.body = healthBody("1.0.0"), .headers = {{"Set-Cookie", "a=b"}}});
        m_agent->setReply("/v1/printers",
                          printers("true", R"({"name": "Brother", "isDefault": true},
            {"name": "Canon", "isDefault": false}, {"name": "Epson", "isDefault": true})"));
        m_harness = std::make_unique<AppHarness>();
        m_harness->config.agentBaseUrl = m_agent->baseUrl();
        m_harness->config.privateAgentUrl = m_agent->baseUrl();
        // A port nothing listens on any more.
        m_harness->config.updateManifestUrl = FakeAgent().baseUrl();
        m_harness->config.pollInterval = 3600.0; // polls come from the tests
    }

    void cleanup() {
        // The controller goes first: its requests must not outlive the agent.
        m_harness.reset();
        m_agent.reset();
    }

    void notReady_data() {
        QTest::addColumn<FakeReply>("reply");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("title");
        const auto row = [](const char* name, const FakeReply& reply, const char* line,
                            const QString& title = QStringLiteral("Служба запускается…")) {
            QTest::newRow(name) << reply << QStringLiteral("http=%1 ").arg(reply.status) + line
                                << title;
        };
        const QByteArray valid = healthBody("1.0.0");
        const QByteArray foreign = healthBody("2.0.0");
        // Status 0: nothing listens.
        row("refused", {0}, "error=QNetworkReply:1 valid=false version=none failures=1");
        row("500, valid body", {500, valid}, "error=none:0 valid=true version=1.0.0 failures=1");
        row("201, valid body", {201, valid}, "error=none:0 valid=true version=1.0.0 failures=1");
        row("foreign, 500", {500, foreign}, "error=none:0 valid=true version=2.0.0 failures=1");
        // Longer than any reply of an agent: cut off, although what came before the cut is a
        // whole, valid record.
        row("over 1 MiB", {200, valid + QByteArray(1 << 20, ' ')},
            "error=QNetworkReply:5 valid=false version=none failures=1");
        // A whole record, then the connection drops short of the length announced.
        // Short, so that it is out long before the poll's time is up.
        const QByteArray small = R"({"ok": true, "name": "a", "version": "1.0.0", "platform": "p",
            "architecture": "a", "deviceId": "d", "formats": []})";
        row("cut short",
            {.body = small + QByteArray(small.size(), ' '), .drip = 1ms, .holdHalfway = true},
            "error=QNetworkReply:2 valid=false version=none failures=1");
        row("foreign version", {200, foreign}, "error=none:0 valid=true version=2.0.0 failures=0",
            "Найдена старая служба версии 2.0.0");
    }

    void notReady() {
        QFETCH(FakeReply, reply);
        QFETCH(QString, line);
        QFETCH(QString, title);
        if (reply.status == 0)
            m_harness->config.agentBaseUrl = FakeAgent().baseUrl();
        m_agent->setReply("/v1/health", reply);
        // An agent of ours that runs but never answers.
        m_harness->installAgentScript("exec sleep 30");
        m_harness->launch();
        if (reply.holdHalfway) {
            QTRY_COMPARE(m_agent->bytesSent("/v1/health"), reply.body.size() / 2);
            // The connection drops; the port stays ours.
            const quint16 port = m_agent->port();
            m_agent.reset();
            m_agent = std::make_unique<FakeAgent>(port);
        }
        QVERIFY(handled());
        app().openUrls({QUrl("kestrel://connect?pairingToken=" + QString(64, u'a'))});
        QCOMPARE(lines("health_result"), QStringList{line});
        QCOMPARE(window().statusTitle()->text(), title);
        QCOMPARE(app().state().statusColor, StatusColor::Orange);
        // Not ready: the link waits, and nothing but polls reaches the agent.
        QVERIFY(!app().state().isAgentReady && app().state().pendingPairingToken);
        for (const RecordedRequest& request : m_agent->requests())
            QCOMPARE(request.path, "/v1/health");
        // The running agent is left alone.
        QCOMPARE(app().state().helperAttempt, 1);
        if (reply.status != 0)
            return;
        // Only a refused poll comes again soon while our agent is starting, without counting or
        // logging as another failure; the agent that listens later is found ready by one of
        // them (the 3 s poll is off).
        int polls = 0;
        QObject counting; // ends the counting with this function
        for (QNetworkAccessManager* session : app().findChildren<QNetworkAccessManager*>())
            connect(session, &QNetworkAccessManager::finished, &counting,
                    [&](QNetworkReply* reply) { polls += reply->url().path() == "/v1/health"; });
        QTRY_VERIFY(polls >= 2);
        QCOMPARE(app().state().healthFailures, 1);
        FakeAgent late(quint16(m_harness->config.agentBaseUrl.port()));
        late.setReply("/v1/health", {.body = healthBody("1.0.0")});
        QTRY_VERIFY_WITH_TIMEOUT(app().state().isAgentReady, 5000);
        QCOMPARE(lines("health_result"),
                 (QStringList{line, "http=200 error=none:0 valid=true version=1.0.0 failures=0"}));
        QVERIFY(!app().state().pendingPairingToken);
    }

    // A failure is logged the first time and every tenth; an agent that answers, ours or a
    // foreign one, ends the run of failures.
    void failureCount() {
        m_agent->setReply("/v1/health", {.status = 500});
        QVERIFY(launch());
        while (app().state().healthFailures < 20)
            QVERIFY(poll());
        for (const char* version : {"2.0.0", "1.0.0"}) {
            m_agent->setReply("/v1/health", {.body = healthBody(version)});
            QVERIFY(poll());
            m_agent->setReply("/v1/health", {.status = 500});
            QVERIFY(poll());
        }
        const QString failed = "http=500 error=none:0 valid=false version=none failures=%1";
        const QString found = "http=200 error=none:0 valid=true version=%1 failures=0";
        QCOMPARE(lines("health_result"),
                 (QStringList{failed.arg(1), failed.arg(10), failed.arg(20), found.arg("2.0.0"),
                              failed.arg(1), found.arg("1.0.0"), failed.arg(1)}));
        // Every failed poll asks for the missing agent again, besides the launch.
        QCOMPARE(lines("helper_missing").size(), 23);
    }

    // The signing row of a locked store, before and while an unlock runs.
    void signing() {
        const QJsonObject signing{{"configured", true},
                                  {"enabled", true},
                                  {"code", "keychain_locked"},
                                  {"message", "готова"}};
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0", {{"signing", signing}})});
        m_agent->setReply("/v1/app/unlock-credentials", {.hang = true}, "POST");
        QVERIFY(launch());
        QCOMPARE(window().signingDetails()->text(), "Подпись: готова");
        QCOMPARE(window().signingButton()->text(), "Разрешить доступ");
        QVERIFY(window().signingButton()->isEnabled());
        app().openSigningSettings();
        QTRY_COMPARE(m_agent->requestCount("/v1/app/unlock-credentials"), 1);
        QVERIFY(poll());
        QCOMPARE(window().signingButton()->text(), "Ожидаем разрешение…");
        QVERIFY(!window().signingButton()->isEnabled());
    }

    void readyAgent_data() {
        QTest::addColumn<FakeReply>("reply");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QString>("logged");
        const QByteArray a = R"({"name": "A", "isDefault": true})";
        QTest::newRow("empty list")
            << printers("true", "") << 0 << "http=200 error=none:0 valid=true count=0";
        QTest::newRow("ok false") << printers("false", a) << 3
                                  << "http=200 error=none:0 valid=false count=1";
        QTest::newRow("500 with a list") << FakeReply{500, printers("true", a).body} << 3
                                         << "http=500 error=none:0 valid=true count=1";
    }

    void readyAgent() {
        QFETCH(FakeReply, reply);
        QFETCH(int, rows);
        QFETCH(QString, logged);
        QVERIFY(launch());
        QCOMPARE(window().statusTitle()->text(), "Агент работает");
        QCOMPARE(window().statusDetails()->text(), "Версия 1.0.0 · x86_64 · устройство device-1");
        QCOMPARE(app().state().statusColor, StatusColor::Green);
        const QAbstractItemModel& model = *window().printersTable()->model();
        QCOMPARE(model.index(0, 0).data().toString(), "Brother  ·  по умолчанию");
        QCOMPARE(model.index(1, 0).data().toString(), "Canon");
        QCOMPARE(model.index(2, 0).data().toString(), "Epson  ·  по умолчанию");
        QCOMPARE(window().printersTable()->sizeHintForRow(0), 38);
        QVERIFY(window().emptyPrintersLabel()->isHidden());
        m_agent->setReply("/v1/printers", reply);
        // Printers are asked on every ready poll; the same outcome twice is logged once.
        QVERIFY(poll());
        QVERIFY(poll(false));
        QCOMPARE(m_agent->requestCount("/v1/printers"), 3);
        QCOMPARE(model.rowCount(), rows);
        QCOMPARE(window().emptyPrintersLabel()->isHidden(), rows > 0);
        QCOMPARE(lines("printers_result"),
                 (QStringList{"http=200 error=none:0 valid=true count=3", logged}));
        // A steady state logs nothing more; no agent was started by this run.
        QCOMPARE(lines("health_result"),
                 QStringList{"http=200 error=none:0 valid=true version=1.0.0 failures=0"});
        QCOMPARE(lines("service_ready"), QStringList{"helper_elapsed_s=unknown"});
        // Only a press of the button asks the agent for a fresh printer list.
        QByteArrayList cacheControl;
        for (const RecordedRequest& request : m_agent->requests()) {
            for (const char* header : {"X-Kestrel-App", "Authorization", "Cookie"})
                QVERIFY2(!request.hasHeader(header), header);
            if (request.path == "/v1/printers")
                cacheControl << request.header("Cache-Control");
        }
        QCOMPARE(cacheControl, (QByteArrayList{QByteArray(), "no-cache", QByteArray()}));
    }
};

QTEST_MAIN(TestAgentClient)
#include "tst_agentclient.moc"
