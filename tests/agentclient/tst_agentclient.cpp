#include "agentclient/AgentHealth.h"
#include "agentclient/HealthStatus.h"
#include "agentclient/PrintersResponse.h"
#include "support/AppHarness.h"
#include "support/FakeAgent.h"
#include "ui/MainWindow.h"

#include <QJsonArray>
#include <QListView>
#include <QNetworkReply>
#include <QPushButton>
#include <QTest>

using namespace kestrel;
using namespace kestrel::test;

Q_DECLARE_METATYPE(kestrel::test::FakeReply)

class TestAgentClient : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeAgent> m_agent;
    std::unique_ptr<AppHarness> m_harness;

    AppDelegate& app() { return *m_harness->delegate; }
    MainWindow& window() { return *m_harness->delegate->window(); }
    bool settled() {
        return !app().state().refreshInFlight && !app().state().printerRefreshInFlight;
    }
    // Waits until the launch's poll and the printer request it started are handled.
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
    // The signing button's three states: locked, while an unlock runs, and otherwise.
    void signingButton() {
        QCOMPARE(signingButtonState(false, true), (SigningButtonState{"Разрешить доступ", true}));
        QCOMPARE(signingButtonState(true, true),
                 (SigningButtonState{"Ожидаем разрешение…", false}));
        QCOMPARE(signingButtonState(false, false),
                 (SigningButtonState{"Настроить в кабинете", true}));
    }

    // A record missing a known member, or with one of another type, is refused; an optional
    // member may be null, and unknown ones are ignored.
    void decoding() {
        const auto health = [](const QJsonObject& changed, const QStringList& removed = {}) {
            return AgentHealth::fromBody(healthBody("1.0.0", changed, removed)).has_value();
        };
        for (const char* key :
             {"ok", "name", "version", "platform", "architecture", "deviceId", "formats"})
            QVERIFY2(!health({}, {key}), key);
        // A signing code of another type, where a null would do.
        QJsonObject signing{{"configured", true}, {"enabled", true}, {"message", "m"}};
        QVERIFY(health({{"signing", signing}, {"extra", 1}}) &&
                !health({{"formats", QJsonArray{"pdf", 1}}}));
        signing.insert("code", 5);
        QVERIFY(!health({{"signing", signing}}));
        QVERIFY(PrintersResponse::fromBody(R"({"ok": false, "x": 1, "printers": [
            {"name": "A", "isDefault": true}, {"name": "B", "isDefault": false, "x": 1}]})"));
        // The second printer lacks its name, then its default flag.
        for (const char* body : {R"({"printers": []})", R"({"ok": 1, "printers": []})",
                                 R"({"ok": true})", R"({"ok": true, "printers": ["A"]})",
                                 R"({"ok": true, "printers": [{"name": "A", "isDefault": true},
                                     {"isDefault": false}]})",
                                 R"({"ok": true, "printers": [{"name": "A", "isDefault": true},
                                     {"name": "B"}]})",
                                 "[]", "null", "", "<html>ok</html>"})
            QVERIFY2(!PrintersResponse::fromBody(body) && !AgentHealth::fromBody(body), body);
    }

    void init() {
        m_harness.reset(); // before the agent its requests go to
        m_agent = std::make_unique<FakeAgent>();
        m_agent->setReply("/v1/health",
                          {.body = healthBody("1.0.0"), .headers = {{"Set-Cookie", "a=b"}}});
        m_agent->setReply("/v1/printers", {.body = R"({"ok": true, "printers": [
            {"name": "Brother", "isDefault": true}, {"name": "Canon", "isDefault": false},
            {"name": "Epson", "isDefault": true}]})"});
        m_harness = std::make_unique<AppHarness>();
        m_harness->config.agentBaseUrl = m_agent->baseUrl();
        m_harness->config.privateAgentUrl = m_agent->baseUrl();
        // A port nothing listens on any more.
        m_harness->config.updateManifestUrl = FakeAgent().baseUrl();
        m_harness->config.pollInterval = 3600.0; // polls come from the tests
    }

    void notReady_data() {
        QTest::addColumn<FakeReply>("reply");
        QTest::addColumn<QString>("line");
        const QByteArray valid = healthBody("1.0.0");
        // Nothing listens.
        QTest::newRow("refused")
            << FakeReply{0} << "http=0 error=QNetworkReply:1 valid=false version=none failures=1";
        QTest::newRow("201, valid body")
            << FakeReply{201, valid} << "http=201 error=none:0 valid=true version=1.0.0 failures=1";
        QTest::newRow("500, valid body")
            << FakeReply{500, valid} << "http=500 error=none:0 valid=true version=1.0.0 failures=1";
        QTest::newRow("204") << FakeReply{204}
                             << "http=204 error=none:0 valid=false version=none failures=1";
        // Longer than any reply of an agent: cut off, although what came before the cut is a
        // whole, valid record.
        QTest::newRow("over 1 MiB")
            << FakeReply{200, valid + QByteArray(1 << 20, ' ')}
            << "http=200 error=QNetworkReply:5 valid=false version=none failures=1";
        // A whole record, then the connection drops short of the length announced.
        // Short, so that it is out long before the poll's time is up.
        const QByteArray small = R"({"ok": true, "name": "a", "version": "1.0.0", "platform": "p",
            "architecture": "a", "deviceId": "d", "formats": []})";
        QTest::newRow("cut short")
            << FakeReply{.body = small + QByteArray(small.size(), ' '),
                         .drip = std::chrono::milliseconds(1),
                         .holdHalfway = true}
            << "http=200 error=QNetworkReply:2 valid=false version=none failures=1";
    }

    void notReady() {
        QFETCH(FakeReply, reply);
        QFETCH(QString, line);
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
        QCOMPARE(lines("health_result"), QStringList{line});
        QCOMPARE(window().statusTitle()->text(), "Служба запускается…");
        // Not ready: nothing but polls reaches the agent.
        QVERIFY(!app().state().isAgentReady);
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
    }

    // A failure is logged the first time and every tenth; an agent that answers, ours or a
    // foreign one, ends the run of failures. Only ours is ready and asked for its printers.
    void failureCount() {
        m_agent->setReply("/v1/health", {.status = 500});
        m_harness->launch();
        QVERIFY(handled());
        while (app().state().healthFailures < 20)
            QVERIFY(poll());
        for (const char* version : {"2.0.0", "1.0.0"}) {
            m_agent->setReply("/v1/health", {.body = healthBody(version)});
            QVERIFY(poll());
            QCOMPARE(window().statusTitle()->text(),
                     version[0] == '1' ? "Агент работает" : "Найдена старая служба версии 2.0.0");
            QCOMPARE(app().state().isAgentReady, version[0] == '1');
            QCOMPARE(m_agent->requestCount("/v1/printers"), int(version[0] == '1'));
            m_agent->setReply("/v1/health", {.status = 500});
            QVERIFY(poll());
        }
        const QString failed = "http=500 error=none:0 valid=false version=none failures=%1";
        const QString found = "http=200 error=none:0 valid=true version=%1 failures=0";
        QCOMPARE(lines("health_result"),
                 (QStringList{failed.arg(1), failed.arg(10), failed.arg(20), found.arg("2.0.0"),
                              failed.arg(1), found.arg("1.0.0"), failed.arg(1)}));
    }

    void readyAgent() {
        m_harness->launch();
        QVERIFY(handled());
        QCOMPARE(window().statusDetails()->text(), "Версия 1.0.0 · x86_64 · устройство device-1");
        const QAbstractItemModel& model = *window().printersTable()->model();
        QCOMPARE(model.index(0, 0).data().toString(), "Brother  ·  по умолчанию");
        QCOMPARE(model.index(1, 0).data().toString(), "Canon");
        QCOMPARE(model.index(2, 0).data().toString(), "Epson  ·  по умолчанию");
        QVERIFY(window().emptyPrintersLabel()->isHidden());
        // A reply that is not ok leaves the list shown.
        m_agent->setReply("/v1/printers", {.body = R"({"ok": false, "printers": []})"});
        QVERIFY(poll(false));
        QCOMPARE(model.rowCount(), 3);
        // Nor does a list with an error status, which is logged as a change.
        const QByteArray none = R"({"ok": true, "printers": []})";
        m_agent->setReply("/v1/printers", {.status = 500, .body = none});
        QVERIFY(poll(false));
        QCOMPARE(model.rowCount(), 3);
        m_agent->setReply("/v1/printers", {.body = none});
        // Printers are asked on every ready poll; the same outcome twice is logged once.
        QVERIFY(poll());
        QVERIFY(poll(false));
        QCOMPARE(m_agent->requestCount("/v1/printers"), 5);
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(!window().emptyPrintersLabel()->isHidden());
        QCOMPARE(lines("printers_result"),
                 (QStringList{"http=200 error=none:0 valid=true count=3",
                              "http=200 error=none:0 valid=false count=0",
                              "http=500 error=none:0 valid=true count=0",
                              "http=200 error=none:0 valid=true count=0"}));
        // Only a press of the button asks the agent for a fresh printer list.
        QByteArrayList cacheControl;
        for (const RecordedRequest& request : m_agent->requests()) {
            for (const char* header : {"X-Kestrel-App", "Authorization", "Cookie"})
                QVERIFY2(!request.hasHeader(header), header);
            if (request.path == "/v1/printers")
                cacheControl << request.header("Cache-Control");
        }
        QCOMPARE(cacheControl, (QByteArrayList{{}, {}, {}, "no-cache", {}}));
    }
};

QTEST_MAIN(TestAgentClient)
#include "tst_agentclient.moc"
