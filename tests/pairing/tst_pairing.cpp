#include "agentclient/StatusRequest.h"
#include "pairing/PairingLink.h"
#include "pairing/PairingRequest.h"
#include "pairing/SigningAccess.h"
#include "support/AppHarness.h"
#include "support/FakeAgent.h"

#include <QApplication>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstdio>
#include <grp.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;

namespace {

using Edits = QList<std::pair<QString, QString>>;

const QString previewPath = "/v1/app/pairing-preview", confirmPath = "/v1/app/pairing-confirm",
              unlockPath = "/v1/app/unlock-credentials", resumePath = "/v1/app/resume";
const QString t = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-";
const QString previewJson = R"({"organizationName": "ООО «Ромашка»", "inn": "7701234567",
    "environment": "production", "certificateSubject": "CN=Иванов Иван", "certificateValidTo":
    "2026-03-31", "certificateThumbprint": "A1B2C3D4E5F6A7B8C9D0E1F2A3B4C5D6E7F8A9B0",
    "futureMember": 42, "settings": {"autoSign": true, "renewTrueApi": true, "renewSuz": true,
    "autoPrepareFbs": true, "fiasId": "0c5b2444-70a0", "kpp": "770101001"}})";
const QString example =
    "ООО «Ромашка»\nИНН 7701234567 · Рабочий кабинет\n\nУКЭП …E7F8A9B0\nДействует до 2026-03-31"
    "\n\n✓ Автоматический вывод FBS\n✓ Продление ЧЗ\n✓ Продление СУЗ\nМесто выбытия: "
    "0c5b2444-70a0 · КПП 770101001";

// `text` with each `from` in it replaced by its `to`.
QString edited(QString text, const Edits& edits) {
    for (const auto& [from, to] : edits)
        text.replace(from, to);
    return text;
}

// A pairing: the example preview and sheet as edited, the answer to the
// sheet, the confirmation's status and the alert that follows (null: none).
struct Flow {
    Edits preview, sheet;
    bool accept = false;
    int status = 200;
    QString alert;
};

// `tst_pairing --squat PORT`: a process of another user (uid 65534) that
// listens on 127.0.0.1 at PORT and answers as a ready agent; once its input
// closes it writes out the requests it received. It gives up root first.
int squat(const char* port) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
        return 2;
    FakeAgent agent(QByteArray(port).toUShort());
    agent.setReply("/v1/health", {.body = healthBody("1.0.0")});
    std::puts(agent.isListening() ? "listening" : "");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    for (const RecordedRequest& request : agent.requests())
        std::printf("%s %s %s\n", request.method.constData(), qPrintable(request.path),
                    request.header("X-Kestrel-App").constData());
    return 0;
}

} // namespace

Q_DECLARE_METATYPE(Flow)

class TestPairing : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeAgent> m_agent;
    std::unique_ptr<AppHarness> m_harness;

    AppDelegate& app() { return *m_harness->delegate; }
    RecordingPresenter& presenter() { return *m_harness->presenter; }
    static QList<QUrl> links(char c, int length = 64) {
        return {QUrl("kestrel://connect?pairingToken=" + QString(length, c), QUrl::StrictMode)};
    }
    // What a preview or confirmation of the token of 64 `c` carries.
    static QByteArray tokenBody(char c) {
        return "{\"pairingToken\":\"" + QByteArray(64, c) + "\"}";
    }
    QList<QByteArray> bodies(const QString& path) const {
        QList<QByteArray> result;
        for (const RecordedRequest& request : m_agent->requests())
            if (request.path == path)
                result << request.body;
        return result;
    }
    int eventCount(const QString& event) const { return int(m_harness->events().count(event)); }
    // Launches with the first health poll answered.
    void launch(const QByteArray& health = healthBody("1.0.0"), int status = 200) {
        m_agent->setReply("/v1/health", {.status = status, .body = health});
        m_harness->launch();
        QTRY_VERIFY(m_agent->requestCount("/v1/health") >= 1 && !app().state().refreshInFlight);
    }
    void poll() {
        app().refreshStatus();
        QTRY_VERIFY(!app().state().refreshInFlight);
    }

private slots:
    void init() {
        m_agent = std::make_unique<FakeAgent>();
        m_agent->setReply(previewPath, {.body = previewJson.toUtf8()}, "POST");
        m_harness = std::make_unique<AppHarness>();
        m_harness->config.agentBaseUrl = m_harness->config.privateAgentUrl = m_agent->baseUrl();
        m_harness->config.pollInterval = 3600.0;
        m_harness->config.updateHost = "127.0.0.1";
        m_harness->config.updateManifestUrl = m_agent->baseUrl().resolved(QUrl("/latest.json"));
        m_harness->installAgentScript("exec sleep 600");
    }

    // Only the whole of exactly one link: `|` separates links, `<t>` is the token.
    void linkAcceptance() {
        const QString k = "kestrel://connect?pairingToken=<t>", base = k.chopped(3);
        const QStringList accepted = {k, "kestrel://connect/?pairingToken=<t>",
                                      "KESTREL://CONNECT?pairingToken=<t>",
                                      base + "%30" + t.mid(1)};
        QStringList refused = {"",
                               k + "|" + k,
                               "https://connect?pairingToken=<t>",
                               "kestrel://connect.example?pairingToken=<t>",
                               "kestrel://@connect?pairingToken=<t>",
                               "kestrel://connect/pair?pairingToken=<t>",
                               "kestrel://connect/?",
                               "kestrel://connect?PairingToken=<t>",
                               base + t.left(63)};
        // Anything after the token: a fragment, an empty item, a 65th character, a line feed.
        for (const char* tail : {"#", "&", "a", "%0A"})
            refused << k + tail;
        for (const char* c : {"+", "=", "%20", "%D0%B0"})
            refused << base + t.left(32) + c + t.mid(33);
        for (const QString& links : accepted + refused) {
            QList<QUrl> urls;
            for (const QString& text : links.split('|', Qt::SkipEmptyParts))
                urls << QUrl(QString(text).replace("<t>", t), QUrl::StrictMode);
            const bool ok = accepted.contains(links);
            QVERIFY2(pairingTokenFromLinks(urls) == (ok ? std::optional(t) : std::nullopt),
                     qPrintable(links));
        }
    }

    void pairing_data() {
        QTest::addColumn<Flow>("flow");
        const QString thumbprint = "A1B2C3D4E5F6A7B8C9D0E1F2A3B4C5D6E7F8A9B0",
                      place = "\nМесто выбытия: 0c5b2444-70a0 · КПП 770101001",
                      damaged = pairing_text::previewDamaged.toString();
        QTest::newRow("confirmed; test cabinet, 5 characters, no place id")
            << Flow{{{"production", "Production"}, {thumbprint, "9AABB"}, {"fiasId", "x"}},
                    {{"Рабочий", "Тестовый"}, {"E7F8A9B0", "9AABB"}, {"0c5b2444-70a0", ""}},
                    true};
        QTest::newRow("cancelled; accent, prepare without sign, no place")
            << Flow{{{thumbprint, "XXXXXXXXe\u0301"},
                     {"autoSign\": true", "autoSign\": false"},
                     {"fiasId", "x"},
                     {"kpp", "y"}},
                    {{"E7F8A9B0", "XXXXXXXe\u0301"},
                     {"✓ Автоматический", "— Автоматический"},
                     {"0c5b2444-70a0 · КПП 770101001", ""}}};
        QTest::newRow("confirmation fails; sign without prepare, no СУЗ")
            << Flow{{{"autoPrepareFbs\": true", "autoPrepareFbs\": false"},
                     {"renewSuz\": true", "renewSuz\": false"}},
                    {{"Автоматический вывод", "Автоподписание"},
                     {"✓ Продление СУЗ", "— Продление СУЗ"},
                     {place, ""}},
                    true,
                    500,
                    pairing_text::pairingFailed.toString()};
        QTest::newRow("no subject") << Flow{{{"certificateSubject", "x"}}, {}, false, 200, damaged};
        QTest::newRow("autoSign as 1")
            << Flow{{{"autoSign\": true", "autoSign\": 1"}}, {}, false, 200, damaged};
    }

    // Links wait for a ready agent, the newest valid one first; the sheet
    // shows the preview and only an agreed one is confirmed.
    void pairing() {
        QFETCH(Flow, flow);
        m_agent->setReply(previewPath, {.body = edited(previewJson, flow.preview).toUtf8()},
                          "POST");
        m_agent->setReply(confirmPath, {.status = flow.status, .body = "oops"}, "POST");
        launch("{}", 503);
        const int activations = m_harness->desktop->activations;
        app().openUrls(links('a'));
        app().openUrls(links('b'));
        app().openUrls(links('b', 65)); // refused, so the parked one stays
        poll();
        QCOMPARE(m_agent->requestCount(previewPath), 0);
        QCOMPARE(m_harness->desktop->activations, activations);

        // The first ready reply starts the pairing and brings the window up.
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0")});
        poll();
        QCOMPARE(m_harness->desktop->activations, activations + 1);
        QTRY_COMPARE(presenter().sheets.size() + presenter().alerts.size(), 1);
        if (!presenter().sheets.isEmpty()) {
            QCOMPARE(presenter().sheets[0].text, edited(example, flow.sheet));
            app().openUrls(links('c')); // dropped: a pairing runs
            const int polls = m_agent->requestCount("/v1/health");
            presenter().answerSheet(flow.accept);
            // Only a confirmation refreshes the status.
            QTRY_COMPARE(m_agent->requestCount("/v1/health"), polls + flow.accept);
        }
        QTRY_VERIFY(!app().state().pairingInFlight && !app().state().refreshInFlight);
        QCOMPARE(bodies(confirmPath), QList<QByteArray>(flow.accept, tokenBody('b')));
        QCOMPARE(presenter().alerts.size(), int(!flow.alert.isNull()));
        for (const auto& shown : presenter().alerts)
            QCOMPARE(shown.message, flow.alert);
        poll(); // neither the refused link nor the dropped one gets a preview
        QCOMPARE(bodies(previewPath), QList{tokenBody('b')});
    }

    // Links that arrive while a failed preview's alert is open wait for it:
    // the latest is taken up once it closes, and no alert opens over another.
    void oneAlertAtATime() {
        m_agent->setReply(previewPath, {.status = 500, .body = "{}"}, "POST");
        launch();
        // The alert is open while these arrive; none may start a pairing under it.
        presenter().whileAlertOpen = [&] {
            for (char c = 'b'; presenter().alerts.size() == 1 && c <= 'k'; ++c)
                app().openUrls(links(c));
        };
        app().openUrls(links('a'));
        QTRY_COMPARE(presenter().alerts.size(), 2);
        QTRY_VERIFY(!app().state().pairingInFlight);
        QCOMPARE(bodies(previewPath), (QList{tokenBody('a'), tokenBody('k')}));
        QCOMPARE(eventCount("pairing_waits_for_alert"), 10);
        // An alert due while one is open is dropped and logged.
        presenter().whileAlertOpen = [&] { app().showAlert("b", "b"); };
        app().showAlert("a", "a");
        QCOMPARE(presenter().alerts.size(), 3);
        QCOMPARE(eventCount("alert_dropped"), 1);
    }

    // An agent that reads a request and closes without a reply: that is the
    // request's failure, and Qt must not send it again, neither a privileged
    // request (whatever proxy its session had) nor a status poll.
    void requestSentOnce() {
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
        FakeAgent proxy;
        session.setProxy({QNetworkProxy::HttpProxy, "127.0.0.1", proxy.port()});
        std::optional<PairingOutcome> outcome;
        sendPairingRequest(session, {base, "v1/app/pairing-confirm", "s", t, "failed"}, this,
                           [&](PairingOutcome result) { outcome = std::move(result); });
        QTRY_VERIFY(outcome);
        QVERIFY(!outcome->body && outcome->failure == "failed");
        // The closed connection is counted before the failure arrives, re-sent or not.
        QCOMPARE(requests, 1);
        std::optional<ReplyResult> poll;
        sendStatusRequest(session, agentUrl(base, "v1/health"), this,
                          [&](const ReplyResult& result) { poll = result; });
        QTRY_VERIFY(poll);
        QVERIFY(poll->error && !poll->body);
        QCOMPARE(requests, 2);
    }

    void signingSettings_data() {
        QTest::addColumn<bool>("locked");
        QTest::addColumn<FakeReply>("reply"); // to the unlock request
        QTest::addColumn<QString>("line");
        const QByteArray error = "{\"error\":\"нет\"}";
        const QString failed = pairing_text::unlockFailed.toString();
        QTest::newRow("no lock") << false << FakeReply{} << "готова · ООО Ромашка";
        // The agent may wait on the user for minutes; seconds are well within.
        QTest::newRow("200 with an error, after 4 s")
            << true << FakeReply{200, error, {}, 4s} << "нужен доступ";
        QTest::newRow("201 numeric error") << true << FakeReply{201, "{\"error\":1}"} << failed;
        QTest::newRow("500 not JSON") << true << FakeReply{500, "Internal Server Error"} << failed;
        QTest::newRow("64 MiB error")
            << true << FakeReply{.status = 403, .patternSize = 64 << 20} << failed;
        QTest::newRow("302 not followed")
            << true << FakeReply{.status = 302, .body = error, .headers = {{"Location", "/moved"}}}
            << "нет";
    }

    // Two clicks on the signing button: the cabinet page twice, or one unlock
    // request whose failure shows in the signing line; either way the button
    // can be used again although no later reply redraws the row.
    void signingSettings() {
        QFETCH(bool, locked);
        QFETCH(FakeReply, reply);
        QFETCH(QString, line);
        m_agent->setReply(unlockPath, reply, "POST");
        const QJsonObject lock{{"configured", true},
                               {"enabled", false},
                               {"code", "keychain_locked"},
                               {"message", "нужен доступ"}};
        launch(healthBody("1.0.0", locked ? QJsonObject{{"signing", lock}} : QJsonObject()));
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0", {}, {"signing"})});
        const int polls = m_agent->requestCount("/v1/health");
        app().openSigningSettings();
        app().openSigningSettings();
        QTRY_COMPARE_WITH_TIMEOUT(m_agent->requestCount("/v1/health"), polls + locked, 30000);
        QTRY_VERIFY(!app().state().refreshInFlight && !app().state().credentialAccessInFlight);
        QCOMPARE(m_agent->requestCount(unlockPath), int(locked));
        QCOMPARE(m_harness->desktop->opened,
                 QList<QUrl>(locked ? 0 : 2,
                             QUrl("https://cabinet.kestrel.example/app?view=integration")));
        QCOMPARE(app().window()->signingDetails()->text(), "Подпись: " + line);
        QVERIFY(app().window()->signingButton()->isEnabled() && presenter().alerts.isEmpty());
        QCOMPARE_LT(m_agent->bytesSent(unlockPath), 16 << 20);
    }

    // Another user's process takes the agent's port while a pairing sheet is
    // open, and answers as a ready agent: it gets neither the secret nor the
    // token, and the link waits for the port to be ours again.
    void portHeldByAnotherUser() {
        launch();
        app().openUrls(links('a'));
        QTRY_COMPARE(presenter().sheets.size(), 1);
        m_agent->stop();
        const quint16 port = m_agent->port();
        QProcess squatter;
        squatter.start(QCoreApplication::applicationFilePath(), {"--squat", QString::number(port)});
        if (!squatter.waitForReadyRead(30000) && squatter.exitCode() == 2)
            QSKIP("a listener of another user (uid 65534) needs root; CI runs the suite as root");
        QCOMPARE(squatter.readLine(), "listening\n");
        presenter().answerSheet(true);
        poll();
        m_harness->wake->wake(); // would ask for a resume
        poll();
        QCOMPARE(app().window()->statusTitle()->text(), "Порт агента занят другим пользователем");
        QVERIFY(app().state().statusColor == StatusColor::Red && app().state().pendingPairingToken);
        QCOMPARE(eventCount("agent_port_foreign uid=65534"), 1);
        squatter.closeWriteChannel();
        QVERIFY(squatter.waitForFinished(30000));
        const QByteArray seen = squatter.readAllStandardOutput();
        // Health polls only, none with the secret.
        QVERIFY2(!seen.isEmpty() && QByteArray(seen).replace("GET /v1/health \n", "").isEmpty(),
                 seen.constData());

        // The port frees and our agent takes it: ready as usual, the link goes on.
        QTRY_VERIFY((m_agent = std::make_unique<FakeAgent>(port))->isListening());
        m_agent->setReply(previewPath, {.body = previewJson.toUtf8()}, "POST");
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0")});
        poll();
        QTRY_COMPARE(presenter().sheets.size(), 1);
        QCOMPARE(eventCount("agent_port_foreign uid=65534"), 1);
    }

    // A failed resume is retried on each ready reply; a wake while one runs
    // owes another rather than sending it beside.
    void resume() {
        m_agent->setReply(resumePath, {.status = 500, .delay = 150ms}, "POST");
        launch("{}", 503);
        m_harness->wake->wake();
        poll();
        // The delay lets the poll end before the failure; none went out while not ready.
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0")});
        for (int attempt = 1; attempt <= 2; ++attempt) {
            poll();
            QTRY_COMPARE(eventCount("wake_check_retry"), attempt);
            QCOMPARE(m_agent->requestCount(resumePath), attempt);
        }
        m_agent->setReply(resumePath, {.hang = true}, "POST");
        poll();
        m_harness->wake->wake();
        QTRY_VERIFY(!app().state().refreshInFlight);
        QVERIFY(app().state().resumeRequestInFlight && app().state().resumeCheckPending);
        m_agent->release();
        QTRY_COMPARE(eventCount("wake_check_requested"), 2);
        poll();
        QCOMPARE(m_agent->requestCount(resumePath), 4);
    }
};

int main(int argc, char** argv) {
    if (argc == 3 && qstrcmp(argv[1], "--squat") == 0)
        return squat(argv[2]);
    QApplication app(argc, argv);
    TestPairing test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_pairing.moc"
