// The controller and its agent: a script agent in a temporary bundle that it
// starts, restarts and stops, then a fake agent that it polls for its status
// and sends pairing links and the requests that carry a secret.

#include "agentclient/AgentHealth.h"
#include "agentclient/HealthStatus.h"
#include "agentclient/PrintersResponse.h"
#include "agentclient/StatusRequest.h"
#include "pairing/PairingLink.h"
#include "pairing/PairingRequest.h"
#include "pairing/SigningAccess.h"
#include "supervisor/AppSecret.h"
#include "support/AppHarness.h"
#include "support/FakeAgent.h"

#include <QApplication>
#include <QJsonArray>
#include <QListView>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTest>
#include <grp.h>
#include <iostream>
#include <limits>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;

namespace {

const QString previewPath = "/v1/app/pairing-preview", confirmPath = "/v1/app/pairing-confirm";
const QString t = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-";
const QString previewJson = R"({"organizationName": "ООО «Ромашка»", "inn": "7701", "environment":
    "production", "certificateSubject": "CN=Иванов", "certificateValidTo": "2026-03-31",
    "certificateThumbprint": "AB12345678", "futureMember": 42, "settings": {"autoSign": true,
    "renewTrueApi": true, "renewSuz": true, "autoPrepareFbs": true, "fiasId": "F", "kpp": "K"}})";
const QString example = "ООО «Ромашка»\nИНН 7701 · Рабочий кабинет\n\nУКЭП …12345678\nДействует "
                        "до 2026-03-31\n\n✓ Автоматический вывод FBS\n✓ Продление ЧЗ\n✓ Продление "
                        "СУЗ\nМесто выбытия: F · КПП K";

// `text` with the edits "from→to|…" made in turn.
QString edited(QString text, const QString& edits) {
    for (const QString& edit : edits.split('|', Qt::SkipEmptyParts))
        text.replace(edit.section("→", 0, 0), edit.section("→", 1));
    return text;
}

// A pairing: the edits to the example preview and sheet, the answer to the
// sheet, the confirmation's status and the alert that follows (null: none).
using Flow = std::tuple<QString, QString, bool, int, QString>;

// `tst_controller --squat PORT`: a process of another user (uid 65534) that
// listens on 127.0.0.1 at PORT and answers as a ready agent; once its input
// closes it tells by its status whether anything but a health poll without
// the secret reached it. It gives up root first.
int squat(const char* port) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
        return 2;
    FakeAgent agent(QByteArray(port).toUShort());
    agent.setReply("/v1/health", {.body = healthBody("1.0.0")});
    std::cout << (agent.isListening() ? "listening" : "") << std::endl;
    std::cin.ignore(std::numeric_limits<std::streamsize>::max());
    for (const RecordedRequest& request : agent.requests())
        if (request.path != "/v1/health" || request.hasHeader("X-Kestrel-App"))
            return 3;
    return 0;
}

} // namespace

Q_DECLARE_METATYPE(Flow)

class TestController : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeAgent> m_agent;
    std::unique_ptr<AppHarness> m_harness;

    AppDelegate& app() { return *m_harness->delegate; }
    MainWindow& window() { return *m_harness->delegate->window(); }
    RecordingPresenter& presenter() { return *m_harness->presenter; }
    bool settled() {
        return !app().state().refreshInFlight && !app().state().printerRefreshInFlight;
    }
    // Waits until the launch's poll and the printer request it started are handled.
    bool handled() {
        return QTest::qWaitFor([&] { return m_harness->logged("health_result") && settled(); });
    }
    bool launched() {
        m_harness->launch();
        return handled();
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
        QStringList found = m_harness->events().filter(QRegularExpression("^" + event + " "));
        return found.replaceInStrings(QRegularExpression(R"(^\w+ | request_s=\d+\.\d{3})"), {});
    }
    static QList<QUrl> links(char c, int length = 64) {
        return {QUrl("kestrel://connect?pairingToken=" + QString(length, c), QUrl::StrictMode)};
    }
    // What a preview or confirmation of the token of 64 `c` carries.
    static QByteArray tokenBody(char c) {
        return "{\"pairingToken\":\"" + QByteArray(64, c) + "\"}";
    }
    // The bodies of the requests for `path`, one after the other.
    QByteArray sent(const QString& path) const {
        QByteArray all;
        for (const RecordedRequest& request : m_agent->requests())
            all += request.path == path ? request.body : QByteArray();
        return all;
    }

private slots:
    // Every agent must see the application's own secret instead.
    void initTestCase() { qputenv("KESTREL_APP_SECRET", "inherited"); }

    void init() {
        m_harness.reset(); // before the agent its requests go to
        m_agent = std::make_unique<FakeAgent>();
        m_agent->setReply("/v1/health",
                          {.body = healthBody("1.0.0"), .headers = {{"Set-Cookie", "a=b"}}});
        m_agent->setReply("/v1/printers", {.body = R"({"ok": true, "printers": [
            {"name": "Brother", "isDefault": true}, {"name": "Canon", "isDefault": false},
            {"name": "Epson", "isDefault": true}]})"});
        m_agent->setReply(previewPath, {.body = previewJson.toUtf8()}, "POST");
        m_harness = std::make_unique<AppHarness>();
        m_harness->config.agentBaseUrl = m_harness->config.privateAgentUrl = m_agent->baseUrl();
        // A port nothing listens on any more.
        m_harness->config.updateManifestUrl = FakeAgent().baseUrl();
        m_harness->config.pollInterval = 3600.0; // polls come from the tests
        // An agent of ours that keeps the secret it was handed and never answers.
        m_harness->installAgentScript("printf %s \"$KESTREL_APP_SECRET\" > '" +
                                      m_harness->home.filePath("secret").toUtf8() +
                                      "'\nexec sleep 600");
    }

    // Whatever a test did, the log holds neither a token nor the secret, and
    // each privileged request carries the secret its agent was handed.
    void cleanup() {
        const QString secretFile = m_harness->home.filePath("secret");
        if (!QFile::exists(secretFile))
            return; // the agent never ran
        const QByteArray secret = fileContents(secretFile),
                         log = fileContents(m_harness->logPath());
        QVERIFY(secret.size() == 72 && !log.contains(secret));
        QVERIFY(!QString::fromUtf8(log).contains(QRegularExpression("[A-Za-z0-9_-]{64}")));
        for (const RecordedRequest& request : m_agent->requests())
            if (request.method == "POST")
                QCOMPARE(request.header("X-Kestrel-App") + " " + request.header("Content-Type"),
                         secret + " application/json");
    }

    // A failed poll during the restart delay starts the agent at once; when
    // that one ends too, the restart still comes one second after the latest
    // exit, and only one: restarts must not multiply for an agent that keeps
    // crashing, nor follow every quick poll.
    void agentGetsTheSecretLogsItsOutputAndIsRestartedASecondLater_data() {
        QTest::addColumn<QByteArray>("ending");
        QTest::addColumn<QString>("exitEvent");
        QTest::newRow("exit 3") << QByteArray("exit 3") << "helper_exit status=3 reason=1";
        QTest::newRow("SIGKILL") << QByteArray("kill -KILL $$") << "helper_exit status=9 reason=2";
    }

    void agentGetsTheSecretLogsItsOutputAndIsRestartedASecondLater() {
        QFETCH(QByteArray, ending);
        QFETCH(QString, exitEvent);
        AppHarness harness;
        const QString seen = harness.home.filePath("seen");
        harness.installAgentScript("echo \"$KESTREL_APP_SECRET\" >> '" + seen.toUtf8() +
                                   "'\necho 'agent: out'\necho 'agent: err' >&2\n" + ending);
        harness.config.agentBaseUrl = harness.config.privateAgentUrl = QUrl("http://127.0.0.1:1");
        AppDelegate& delegate = harness.create();
        delegate.startBundledHelper();
        QTRY_VERIFY(harness.logged(exitEvent));
        QTest::qWait(400); // into the restart delay
        delegate.refreshStatus();
        QTRY_VERIFY_WITH_TIMEOUT(harness.events().filter(exitEvent).size() == 4, 10000);
        // Nothing kept by a restart: the ended agents' process objects are gone.
        QCOMPARE_LE(delegate.findChildren<QProcess*>().size(), 1);

        const QStringList events = harness.events().filter(QRegularExpression("^helper_"));
        QCOMPARE(events.mid(0, 4), QStringList({"helper_launch_begin attempt=1", events[1],
                                                exitEvent, "helper_launch_begin attempt=2"}));
        const auto began = [&](int attempt) {
            return harness.elapsedOf("helper_launch_begin attempt=" + QString::number(attempt));
        };
        // Late on a busy machine, but not as late as a doubled delay.
        for (int attempt : {3, 4}) {
            QCOMPARE_GE(began(attempt) - began(attempt - 1), 0.99);
            QCOMPARE_LT(began(attempt) - began(attempt - 1), 1.9);
        }
        // The agent's own lines, as written, between the application's.
        QCOMPARE(harness.logLines().filter(QRegularExpression("^agent: ")).size(), 8);

        // One secret for the whole run: two upper-case UUIDs, never logged.
        const QRegularExpressionMatch secret = QRegularExpression(R"(^([0-9A-F-]{72})\n(\1\n){3}$)")
                                                   .match(QString::fromUtf8(fileContents(seen)));
        QVERIFY(secret.hasMatch());
        QVERIFY(makeAppSecret() != makeAppSecret()); // fresh for every launch
        QVERIFY(!fileContents(harness.logPath()).contains(secret.captured(1).toUtf8()));

        // A quit while the restart is pending cancels it.
        delegate.applicationWillTerminate();
        QTest::qWait(1300);
        QVERIFY(!harness.logged("helper_launch_begin attempt=5"));
    }

    void agentThatCannotRunShowsRed_data() {
        QTest::addColumn<QString>("setUp"); // of the agent at $0
        QTest::addColumn<bool>("started");
        QTest::newRow("not executable") << R"(echo 'exit 0' >"$0"; chmod -x "$0")" << false;
        QTest::newRow("exec fails") << R"(echo '#!/nonexistent' >"$0"; chmod +x "$0")" << true;
    }

    void agentThatCannotRunShowsRed() {
        QFETCH(QString, setUp);
        QFETCH(bool, started);
        QCOMPARE(QProcess::execute("/bin/sh", {"-c", setUp, m_harness->agentPath()}), 0);
        m_agent->stop(); // nothing answers, so the status shown is the supervisor's
        m_harness->launch();
        QTRY_VERIFY(m_harness->logged(started ? "helper_launch_failed domain=QProcess code=0"
                                              : "helper_missing"));
        // The refused poll asks for the agent too, besides the delayed first start.
        if (!started)
            QTRY_COMPARE(m_harness->events().count("helper_missing"), 2);
        QCOMPARE(window().statusTitle()->text(),
                 started ? "Не удалось запустить службу" : "Служба печати отсутствует");
        // The system's reason in Russian, without the name of the failed call.
        QCOMPARE(window().statusDetails()->text(),
                 started ? "Нет такого файла или папки" : "Переустановите пакет kestrel-agent.");
        QCOMPARE(app().state().statusColor, StatusColor::Red);
    }

    void quitStopsTheAgentWithoutWaitingAndLeavesNoExitOrRestart() {
        // The controller is kept, then destroyed right after quitting.
        for (const bool destroyed : {false, true}) {
            AppHarness harness;
            const QString stopped = harness.home.filePath("stopped");
            // Slow to stop after SIGTERM; a SIGKILL leaves no mark.
            harness.installAgentScript(
                "trap 'sleep 0.3; echo term > \"" + stopped.toUtf8() +
                "\"; exit 0' TERM\necho ready\nwhile :; do sleep 0.05; done");
            AppDelegate& delegate = harness.create();
            delegate.startBundledHelper();
            delegate.startBundledHelper(); // not a second agent while one runs
            QTRY_VERIFY(harness.logLines().contains("ready"));
            // Nothing the controller connected hears of the agent it let go.
            const QPointer<QProcess> agent = delegate.helperProcess();
            int heard = 0;
            connect(agent, &QProcess::finished, this, [&heard] { ++heard; });

            delegate.applicationWillTerminate();
            if (destroyed)
                harness.delegate.reset();
            QVERIFY(fileContents(stopped).isEmpty()); // neither waits for the agent to stop
            QTRY_COMPARE(fileContents(stopped), QByteArray("term\n"));
            QTRY_VERIFY(agent.isNull()); // its exit has been handled
            QCOMPARE(heard, 0);
            QTest::qWait(1300); // past the restart delay: nothing may follow
            QCOMPARE(harness.events().filter(QRegularExpression("^helper_(launch_begin|exit)")),
                     QStringList({"helper_launch_begin attempt=1"}));
        }
    }
    // A record missing a known member, or with one of another type, is refused; an optional
    // member may be null, and unknown ones are ignored.
    void decoding() {
        const auto health = [](const QJsonObject& changed, const QStringList& removed = {}) {
            return AgentHealth::fromBody(healthBody("1.0.0", changed, removed)).has_value();
        };
        for (const char* key :
             {"ok", "name", "version", "platform", "architecture", "deviceId", "formats"})
            QVERIFY2(!health({}, {key}) && !health({{key, QJsonValue()}}), key);
        // The signing record's own members: each required, none null; its code optional.
        QJsonObject signing{{"configured", true}, {"enabled", true}, {"message", "m"}};
        for (const char* key : {"configured", "enabled", "message"})
            for (const QJsonValue& gone : {QJsonValue(QJsonValue::Undefined), QJsonValue()}) {
                QJsonObject broken = signing;
                broken.insert(key, gone); // an undefined value removes it
                QVERIFY2(!health({{"signing", broken}}), key);
            }
        QVERIFY(health({{"signing", signing}, {"extra", 1}}) && health({}, {"signing"}) &&
                health({{"signing", QJsonValue()}}) && !health({{"ok", 1}}) &&
                !health({{"version", 1.2}}) && !health({{"formats", QJsonArray{"pdf", 1}}}));
        // A signing code of another type, where a null would do.
        signing.insert("code", 5);
        QVERIFY(!health({{"signing", signing}}));
        QVERIFY(PrintersResponse::fromBody(R"({"ok": false, "x": 1, "printers": [
            {"name": "A", "isDefault": true}, {"name": "B", "isDefault": false, "x": 1}]})"));
        // The second printer lacks its name, then its default flag.
        const QByteArray first = R"({"ok": true, "printers": [{"name": "A", "isDefault": true}, )";
        for (const QByteArray& body : QByteArrayList{
                 R"({"printers": []})", R"({"ok": 1, "printers": []})", R"({"ok": true})",
                 R"({"ok": true, "printers": ["A"]})", first + R"({"isDefault": false}]})",
                 first + R"({"name": "B"}]})", first + R"({"name": 3, "isDefault": false}]})",
                 first + R"({"name": "B", "isDefault": 0}]})", R"({"ok": null, "printers": []})",
                 "[]", "null", "", "<html>ok</html>"})
            QVERIFY2(!PrintersResponse::fromBody(body) && !AgentHealth::fromBody(body),
                     body.constData());
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
        QCOMPARE(app().state().statusColor, StatusColor::Orange);
        // Not ready: nothing but polls reaches the agent.
        QVERIFY(!app().state().isAgentReady);
        QCOMPARE(m_agent->requests().size(), m_agent->requestCount("/v1/health"));
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
        QVERIFY(launched());
        while (app().state().healthFailures < 20)
            QVERIFY(poll());
        for (const char* version : {"2.0.0", "1.0.0"}) {
            m_agent->setReply("/v1/health", {.body = healthBody(version)});
            QVERIFY(poll());
            QCOMPARE(window().statusTitle()->text(),
                     version[0] == '1' ? "Агент работает" : "Найдена старая служба версии 2.0.0");
            QCOMPARE(app().state().isAgentReady, version[0] == '1');
            QCOMPARE(m_agent->requestCount("/v1/printers"), int(version[0] == '1'));
            QCOMPARE(app().state().statusColor,
                     version[0] == '1' ? StatusColor::Green : StatusColor::Orange);
            QCOMPARE(app().state().helperAttempt, 1); // a foreign agent is not restarted
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
        QFile::remove(m_harness->agentPath()); // none of ours runs: its start time is unknown
        QVERIFY(launched());
        QCOMPARE(lines("service_ready"), QStringList{"helper_elapsed_s=unknown"});
        QVERIFY(window().statusTitle()->text() == "Агент работает" &&
                app().state().statusColor == StatusColor::Green);
        QCOMPARE(window().statusDetails()->text(), "Версия 1.0.0 · x86_64 · устройство device-1");
        const QAbstractItemModel& model = *window().printersTable()->model();
        QCOMPARE(model.index(0, 0).data().toString(), "Brother  ·  по умолчанию");
        QCOMPARE(model.index(1, 0).data().toString(), "Canon");
        QCOMPARE(model.index(2, 0).data().toString(), "Epson  ·  по умолчанию");
        QVERIFY(window().emptyPrintersLabel()->isHidden());
        // A reply that is not ok, not whole or has an error status leaves the list shown.
        // Printers are asked on every ready poll; the same outcome twice is logged once.
        const QByteArray a = R"({"name": "A", "isDefault": true})", none = "";
        for (const auto& [status, ok, list] : {std::tuple{200, "false", a},
                                               {200, "true", a + R"(, {"name": "B"})"},
                                               {500, "true", none},
                                               {200, "true", none}}) {
            m_agent->setReply("/v1/printers", {status, R"({"ok": )" + QByteArray(ok) +
                                                           R"(, "printers": [)" + list + "]}"});
            QVERIFY(poll() && poll(false));
            QCOMPARE(model.rowCount(), list == none && status == 200 ? 0 : 3);
        }
        QVERIFY(!window().emptyPrintersLabel()->isHidden());
        QCOMPARE(lines("printers_result"),
                 (QStringList{"http=200 error=none:0 valid=true count=3",
                              "http=200 error=none:0 valid=false count=1",
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
        QCOMPARE(cacheControl.join('|'), QByteArray("|no-cache|").repeated(4));
    }

    // Only the whole of exactly one link: `<t>` is the token.
    void linkAcceptance() {
        const QString k = "kestrel://connect?pairingToken=<t>", base = k.chopped(3);
        const QStringList accepted = QString("%1 kestrel://connect/?pairingToken=<t> "
                                             "KESTREL://CONNECT?pairingToken=<t> %2%30%3")
                                         .arg(k, base, t.mid(1))
                                         .split(' ');
        QStringList refused = QString("https://connect?pairingToken=<t> "
                                      "kestrel://connect.example?pairingToken=<t> "
                                      "kestrel://@connect?pairingToken=<t> kestrel://connect/? "
                                      "kestrel://connect/pair?pairingToken=<t> %1 "
                                      "kestrel://connect?PairingToken=<t> "
                                      "kestrel://user@connect?pairingToken=<t> "
                                      "kestrel://:pw@connect?pairingToken=<t> "
                                      "kestrel://connect:43127?pairingToken=<t> "
                                      "kestrel://connect?pairingToken kestrel://connect?<t>")
                                  .arg(base + t.left(63))
                                  .split(' ');
        // Anything after the token: a fragment, an empty item, a 65th character, a line feed.
        for (const char* tail : {"#", "&", "&source=cabinet", "a", "%0A"})
            refused << k + tail;
        for (const char* c : {"+", "=", "%20", "%D0%B0", ".", "/"})
            refused << base + t.left(32) + c + t.mid(33);
        for (const QString& link : accepted + refused) {
            const QUrl url(QString(link).replace("<t>", t), QUrl::StrictMode);
            const bool ok = accepted.contains(link);
            QVERIFY2(pairingTokenFromLinks({url}) == (ok ? std::optional(t) : std::nullopt),
                     qPrintable(link));
        }
        // A token of nothing but the two signs allowed besides letters and digits.
        const QString dashes = QString("_-").repeated(32);
        QCOMPARE(pairingTokenFromLinks({QUrl(base + dashes, QUrl::StrictMode)}),
                 std::optional(dashes));
        // Not exactly one link.
        QVERIFY(!pairingTokenFromLinks({}) && !pairingTokenFromLinks(links('a') + links('a')));
    }

    void pairing_data() {
        QTest::addColumn<Flow>("flow");
        QTest::newRow("confirmed; test cabinet, 5 characters, no place id")
            << Flow{"production→Production|AB12345678→9AABB|fiasId→x",
                    "Рабочий→Тестовый|12345678→9AABB|: F→: ", true, 200, QString()};
        QTest::newRow("cancelled; accent, prepare without sign, no place")
            << Flow{"AB12345678→XXXXXXXXe\u0301|autoSign\": true→autoSign\": false|fiasId→x|kpp→y",
                    "12345678→XXXXXXXe\u0301|✓ Автоматический→— Автоматический|F · КПП K→", false,
                    200, QString()};
        QTest::newRow("confirmation fails; sign without prepare, no renewals") << Flow{
            "Fbs\": true→Fbs\": false|Suz\": true→Suz\": false|Api\": true→Api\": false",
            "Автоматический вывод→Автоподписание|✓ Продление→— Продление|\nМесто выбытия: "
            "F · КПП K→",
            true, 500,
            "Не удалось подтвердить подключение. Повторите «Открыть Агент KESTREL» в кабинете."};
        QTest::newRow("cancelled; the example")
            << Flow{QString(), QString(), false, 200, QString()};
        QTest::newRow("cancelled; neither FBS function, only ЧЗ renewed") << Flow{
            "autoSign\": true→autoSign\": false|Fbs\": true→Fbs\": false|Suz\": true→Suz\": false",
            "✓ Автоматический→— Автоматический|✓ Продление СУЗ→— Продление СУЗ|\nМесто "
            "выбытия: F · КПП K→",
            false, 200, QString()};
        const QString damaged = "Запрос подключения повреждён.";
        QTest::newRow("autoSign as 1")
            << Flow{"autoSign\": true→autoSign\": 1", QString(), false, 200, damaged};
        QTest::newRow("no subject")
            << Flow{"certificateSubject→subject", QString(), false, 200, damaged};
    }

    // Links wait for a ready agent, the newest valid one first; the sheet
    // shows the preview and only an agreed one is confirmed.
    void pairing() {
        QFETCH(Flow, flow);
        const auto& [preview, sheet, accept, status, alert] = flow;
        m_agent->setReply(previewPath, {.body = edited(previewJson, preview).toUtf8()}, "POST");
        m_agent->setReply(confirmPath, {.status = status, .body = "oops"}, "POST");
        m_agent->setReply("/v1/health", {503, "{}"});
        QVERIFY(launched());
        app().openUrls(links('a'));
        app().openUrls(links('b'));
        app().openUrls(links('b', 65)); // refused, so the parked one stays
        const int raised = m_harness->desktop->activations;
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0")});
        QVERIFY(poll(false));
        QTRY_COMPARE(presenter().sheets.size() + presenter().alerts.size(), 1);
        QCOMPARE(m_harness->desktop->activations, raised + 1); // the window comes forward
        int polls = 0;
        if (!presenter().sheets.isEmpty()) {
            QCOMPARE(presenter().sheets[0].text, edited(example, sheet));
            app().openUrls(links('c')); // dropped: a pairing runs
            polls = m_agent->requestCount("/v1/health");
            presenter().answerSheet(accept);
        }
        QTRY_VERIFY(!app().state().pairingInFlight && !app().state().refreshInFlight);
        QCOMPARE(sent(confirmPath), accept ? tokenBody('b') : QByteArray());
        // A confirmation, whatever its outcome, is followed by a fresh status.
        QCOMPARE(polls > 0 && m_agent->requestCount("/v1/health") > polls, accept);
        QCOMPARE(presenter().alerts.join(""), alert.isNull() ? "" : "Подключение агента: " + alert);
        QVERIFY(poll(false)); // neither the refused link nor the dropped one gets a preview
        QCOMPARE(sent(previewPath), tokenBody('b'));
    }

    // Links that arrive while a failed preview's alert is open wait for it:
    // the latest is taken up once it closes, and no alert opens over another.
    void oneAlertAtATime() {
        m_agent->setReply(previewPath, {.status = 500, .body = "{}"}, "POST");
        QVERIFY(launched());
        // The alert is open while these arrive; none may start a pairing under it.
        presenter().whileAlertOpen = [&] {
            for (char c = 'b'; presenter().alerts.size() == 1 && c <= 'k'; ++c)
                app().openUrls(links(c));
        };
        app().openUrls(links('a'));
        QTRY_VERIFY(presenter().alerts.size() == 2 && !app().state().pairingInFlight);
        QCOMPARE(sent(previewPath), tokenBody('a') + tokenBody('k'));
        QCOMPARE(m_harness->events().count("pairing_waits_for_alert"), 10);
        // An alert due while one is open is dropped and logged.
        presenter().whileAlertOpen = [&] { app().showAlert("b", "b"); };
        app().showAlert("a", "a");
        QCOMPARE(presenter().alerts.size(), 3);
        QCOMPARE(m_harness->events().count("alert_dropped"), 1);
    }

    // An agent that reads a request and closes without a reply: that is the
    // request's failure, and Qt must not send it again, neither a privileged
    // request nor a status poll. Then what a privileged request makes of the
    // agent's replies: the body of a 200, else the agent's own error text,
    // else the caller's.
    void privilegedReplies() {
        QTcpServer closer;
        QVERIFY(closer.listen(QHostAddress::LocalHost));
        int requests = 0;
        connect(&closer, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket* client = closer.nextPendingConnection())
                connect(client, &QTcpSocket::readyRead, client, [&requests, client] {
                    requests += int(client->readAll().count(" HTTP/1.1\r\n"));
                    client->disconnectFromHost();
                });
        });
        const QUrl base(QString("http://127.0.0.1:%1").arg(closer.serverPort()));
        QNetworkAccessManager session;
        // Whoever made the session, privileged requests go out directly.
        session.setProxy({QNetworkProxy::HttpProxy, "127.0.0.1", 1});
        std::optional<PairingOutcome> outcome;
        const auto send = [&](const QUrl& base) {
            outcome.reset();
            sendPairingRequest(session, {base, "v1/app/pairing-confirm", "s", {}, "f"}, this,
                               [&](PairingOutcome result) { outcome = std::move(result); });
            return QTest::qWaitFor([&] { return outcome.has_value(); }, 30000);
        };
        // The closed connection is counted before the failure arrives, re-sent or not.
        QVERIFY(send(base) && !outcome->body && outcome->failure == "f" && requests == 1);
        std::optional<ReplyResult> poll;
        sendStatusRequest(session, agentUrl(base, "v1/health"), this,
                          [&](const ReplyResult& result) { poll = result; });
        QTRY_VERIFY(poll && requests == 2);

        const QByteArray error = R"({"error":"нет"})";
        // The agent may wait on the user for minutes; seconds are well within.
        const std::pair<FakeReply, QString> replies[] = {
            {{200, error, {}, std::chrono::seconds(4)}, error},
            {{201, R"({"error":1})"}, "f"},
            {{403, R"({"error":1})"}, "f"},
            {{.status = 403, .patternSize = 64 << 20}, "f"},
            {{403, error}, "нет"},
            {{403, "{}"}, "f"},
            {{500, "<html>"}, "f"},
            {{302, error, {{"Location", "/moved"}}}, "нет"}};
        for (const auto& [reply, shown] : replies) {
            m_agent->setReply(confirmPath, reply, "POST");
            QVERIFY(send(m_agent->baseUrl()));
            QCOMPARE(outcome->body ? QString(*outcome->body) : outcome->failure, shown);
        }
        QCOMPARE_LT(m_agent->bytesSent(confirmPath), stoppedReaderBytes);
        QCOMPARE(m_agent->requestCount("/moved"), 0);
    }

    // The signing button's three states: locked, while an unlock runs, and otherwise. Two
    // clicks on a locked store's button send one unlock request; its failure shows in the
    // signing line, and the button can be used again although no later reply redraws the row.
    // Once nothing is locked, it only opens the cabinet.
    void signingRequests() {
        using Button = SigningButtonState;
        QCOMPARE(signingButtonState(false, true), (Button{"Разрешить доступ", true}));
        QCOMPARE(signingButtonState(true, true), (Button{"Ожидаем разрешение…", false}));
        QCOMPARE(signingButtonState(false, false), (Button{"Настроить в кабинете", true}));
        m_agent->setReply("/v1/app/unlock-credentials", {403, R"({"error":"нет"})"}, "POST");
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0").replace(
                                             "\"code\":null", "\"code\":\"keychain_locked\"")});
        QVERIFY(launched());
        QVERIFY(window().signingButton()->text() == "Разрешить доступ" &&
                window().signingButton()->isEnabled());
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0", {}, {"signing"})});
        app().openSigningSettings();
        QVERIFY(window().signingButton()->text() == "Ожидаем разрешение…" &&
                !window().signingButton()->isEnabled());
        app().openSigningSettings();
        QTRY_VERIFY(m_agent->requestCount("/v1/health") == 2 && !app().state().refreshInFlight);
        QCOMPARE(window().signingDetails()->text(), "Подпись: нет");
        QVERIFY(window().signingButton()->isEnabled() && presenter().alerts.isEmpty());
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0")});
        QVERIFY(poll(false));
        QCOMPARE(window().signingButton()->text(), "Настроить в кабинете");
        app().openSigningSettings();
        QCOMPARE(m_harness->desktop->opened,
                 QList<QUrl>{QUrl("https://cabinet.kestrel.example/app?view=integration")});
        QCOMPARE(m_agent->requestCount("/v1/app/unlock-credentials"), 1);
    }

    // A wake while the agent is not ready sends nothing until its first ready
    // reply; each ready reply retries a failed resume, and a wake while one
    // runs owes a check instead of sending a second.
    void resume() {
        const QString resumePath = "/v1/app/resume";
        m_agent->setReply(resumePath, {.status = 500, .body = "{}", .delay = 150ms}, "POST");
        m_agent->setReply("/v1/health", {503, "{}"});
        QVERIFY(launched());
        m_harness->wake->wake();
        QVERIFY(poll(false) && m_agent->requestCount(resumePath) == 0 &&
                !m_harness->logged("wake_check_retry"));
        // The delay lets each poll end before the failure.
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0")});
        for (int attempt = 1; attempt <= 2; ++attempt) {
            QVERIFY(poll(false));
            QTRY_COMPARE(m_harness->events().count("wake_check_retry"), attempt);
        }
        m_agent->setReply(resumePath, {.body = "{}", .hang = true}, "POST");
        QVERIFY(poll(false));
        m_harness->wake->wake();
        QTRY_VERIFY(settled() && app().state().resumeCheckPending);
        m_agent->release();
        QTRY_COMPARE(m_harness->events().count("wake_check_requested"), 2);
        QVERIFY(poll(false));
        QCOMPARE(sent(resumePath), QByteArray("{}").repeated(4));
    }

    // Another user's process takes the agent's port while a pairing sheet is
    // open, and answers as a ready agent: it gets neither the secret nor the
    // token, and the link waits for the port to be ours again.
    void portHeldByAnotherUser() {
        QVERIFY(launched());
        app().openUrls(links('a'));
        QTRY_COMPARE(presenter().sheets.size(), 1);
        m_agent->stop();
        const quint16 port = m_agent->port();
        QProcess squatter;
        squatter.start(QCoreApplication::applicationFilePath(), {"--squat", QString::number(port)});
        if (!squatter.waitForReadyRead(30000) && squatter.exitCode() == 2)
            QSKIP("a listener of another user (uid 65534) needs root; CI runs the suite as root");
        presenter().answerSheet(true);
        QVERIFY(poll(false) && poll(false));
        QVERIFY(app().state().statusColor == StatusColor::Red && app().state().pendingPairingToken);
        QCOMPARE(m_harness->events().count("agent_port_foreign uid=65534"), 1);
        QCOMPARE(window().statusTitle()->text() + ' ' + window().statusDetails()->text(),
                 QString("Порт агента занят другим пользователем Порт %1 слушает программа другого "
                         "пользователя этого компьютера. Подпись и печать недоступны, пока он не "
                         "освободится.")
                     .arg(port));
        squatter.closeWriteChannel();
        QVERIFY(squatter.waitForFinished(30000) && squatter.exitCode() == 0);

        // The port frees and our agent takes it: ready as usual, the link goes on.
        QTRY_VERIFY((m_agent = std::make_unique<FakeAgent>(port))->isListening());
        m_agent->setReply(previewPath, {.body = previewJson.toUtf8()}, "POST");
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0")});
        QVERIFY(poll(false));
        QTRY_COMPARE(presenter().sheets.size(), 1);
    }
};

int main(int argc, char** argv) {
    if (argc == 3 && qstrcmp(argv[1], "--squat") == 0)
        return squat(argv[2]);
    QApplication app(argc, argv);
    TestController test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_controller.moc"
