#include "agentclient/StatusRequest.h"
#include "pairing/PairingLink.h"
#include "pairing/PairingPreview.h"
#include "pairing/PairingRequest.h"
#include "pairing/SigningAccess.h"
#include "support/AppHarness.h"
#include "support/FakeAgent.h"
#include "support/Files.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <grp.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;

namespace {

const QString previewPath = "/v1/app/pairing-preview", confirmPath = "/v1/app/pairing-confirm",
              unlockPath = "/v1/app/unlock-credentials", resumePath = "/v1/app/resume";
const QString t = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-";
const QString failed =
    "Не удалось подтвердить подключение. Повторите «Открыть Агент KESTREL» в кабинете.";
const QString example =
    "ООО «Ромашка»\nИНН 7701234567 · Рабочий кабинет\n\nУКЭП …E7F8A9B0\nДействует до 2026-03-31"
    "\n\n✓ Автоматический вывод FBS\n✓ Продление ЧЗ\n✓ Продление СУЗ\nМесто выбытия: "
    "0c5b2444-70a0 · КПП 770101001";

// The example's preview, with each `from` in it replaced by its `to`.
QByteArray preview(const QList<std::pair<QByteArray, QByteArray>>& edits = {}) {
    QByteArray body = R"({"organizationName": "ООО «Ромашка»", "inn": "7701234567", "environment":
        "production", "certificateSubject": "CN=Иванов Иван", "certificateValidTo": "2026-03-31",
        "certificateThumbprint": "A1B2C3D4E5F6A7B8C9D0E1F2A3B4C5D6E7F8A9B0", "futureMember": 42,
        "settings": {"autoSign": true, "renewTrueApi": true, "renewSuz": true,
        "autoPrepareFbs": true, "fiasId": "0c5b2444-70a0", "kpp": "770101001"}})";
    for (const auto& [from, to] : edits)
        body.replace(from, to);
    return body;
}

// Answers every request to `server` with `reply` (empty: closes without
// one), handing what it read to `seen` first.
void answerAll(QTcpServer& server, const QByteArray& reply,
               const std::function<void(const QByteArray&)>& seen) {
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, reply, seen] {
        while (QTcpSocket* client = server.nextPendingConnection())
            QObject::connect(client, &QTcpSocket::readyRead, client, [client, reply, seen] {
                seen(client->readAll());
                client->write(reply);
                client->disconnectFromHost();
            });
    });
}

// `tst_pairing --squat PORT`: a process of another user (uid 65534) that
// listens on 127.0.0.1 and [::1] at PORT, answers every request as a ready
// agent and writes what it received to its output. Started afresh rather
// than forked, so it may use Qt; it gives up root before anything else.
int squat(int argc, char** argv) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
        return 2;
    QCoreApplication app(argc, argv);
    const QByteArray health = healthBody("1.0.0");
    QFile out;
    out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    QTcpServer v4, v6;
    if (!v4.listen(QHostAddress::LocalHost, QByteArray(argv[2]).toUShort()))
        return 3;
    // A system without IPv6 has no [::1] to take.
    v6.listen(QHostAddress::LocalHostIPv6, v4.serverPort());
    for (QTcpServer* server : {&v4, &v6})
        answerAll(*server,
                  "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                  "Content-Length: " +
                      QByteArray::number(health.size()) + "\r\n\r\n" + health,
                  [&out](const QByteArray& seen) { out.write(seen); });
    out.write("listening\n");
    return app.exec();
}

} // namespace

class TestPairing : public QObject {
    Q_OBJECT

    // A proxy handed to a session for privileged requests; nothing may ever
    // reach it. (Qt itself never sends loopback traffic to the application's
    // or the environment's proxy, so only a session's own proxy is a risk.)
    FakeAgent m_proxy;
    std::unique_ptr<FakeAgent> m_agent;
    std::unique_ptr<AppHarness> m_harness;

    AppDelegate& app() { return *m_harness->delegate; }
    RecordingPresenter& presenter() { return *m_harness->presenter; }
    static QList<QUrl> links(const QString& token) {
        return {QUrl("kestrel://connect?pairingToken=" + token, QUrl::StrictMode)};
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
        for (const QString& path : {previewPath, confirmPath, unlockPath, resumePath})
            m_agent->setReply(path, {.body = path == previewPath ? preview() : "{}"}, "POST");
        m_harness = std::make_unique<AppHarness>();
        m_harness->config.agentBaseUrl = m_harness->config.privateAgentUrl = m_agent->baseUrl();
        m_harness->config.pollInterval = 3600.0;
        m_harness->config.updateHost = "127.0.0.1";
        m_harness->config.updateManifestUrl = m_agent->baseUrl().resolved(QUrl("/latest.json"));
        // The agent records the secret it was handed, then idles like a real one.
        m_harness->installAgentScript("printf '%s' \"$KESTREL_APP_SECRET\" > '" +
                                      m_harness->home.filePath("secret").toUtf8() +
                                      "'\nexec sleep 600");
    }

    void cleanup() {
        QCOMPARE(m_proxy.requests().size(), 0);
        if (!m_harness->delegate)
            return;
        const QString log = m_harness->logLines().join('\n');
        const QByteArray secret = fileContents(m_harness->home.filePath("secret"));
        // An empty secret (none handed over) fails here too.
        QVERIFY(!log.isEmpty() && !log.contains(QString::fromUtf8(secret)));
        QVERIFY(!log.contains(QRegularExpression("[A-Za-z0-9_-]{64}"))); // no token
        for (const RecordedRequest& request : m_agent->requests())
            if (request.method == "POST")
                QCOMPARE(request.header("X-Kestrel-App") + " " + request.header("Content-Type"),
                         secret + " application/json");
    }

    void linkAcceptance_data() {
        QTest::addColumn<QString>("links"); // separated by "|"; "<t>" is the token below
        QTest::addColumn<QString>("token"); // null: refused
        const QString base = "kestrel://connect?pairingToken=", _ = QString("_-").repeated(32);
        QTest::newRow("plain") << base + t << t;
        QTest::newRow("slash path") << "kestrel://connect/?pairingToken=<t>" << t;
        QTest::newRow("upper-case scheme and host") << "KESTREL://CONNECT?pairingToken=<t>" << t;
        QTest::newRow("only _ and -") << base + _ << _;
        QTest::newRow("percent-decoded") << base + "%41" + t.mid(1) << "A" + t.mid(1);
        QTest::newRow("no link") << QString() << QString();
        const QString k = "kestrel://connect?pairingToken=<t>";
        const QStringList refused = {k + "|" + k,
                                     "kestrel://conn ect?pairingToken=<t>",
                                     "https://connect?pairingToken=<t>",
                                     "kestrel://connect.example?pairingToken=<t>",
                                     "kestrel://user@connect?pairingToken=<t>",
                                     "kestrel://@connect?pairingToken=<t>",
                                     "kestrel://:pw@connect?pairingToken=<t>",
                                     "kestrel://connect:43127?pairingToken=<t>",
                                     "kestrel://connect/pair?pairingToken=<t>",
                                     "kestrel://connect/?",
                                     "kestrel://connect?PairingToken=<t>",
                                     "kestrel://connect?pairingToken",
                                     base + t.left(63)};
        for (const QString& links : refused)
            QTest::newRow(qPrintable(links)) << links << QString();
        // Anything after the token: a fragment, more items, a 65th character, a line feed.
        for (const char* tail : {"#", "&", "&source=cabinet", "a", "%0A"})
            QTest::newRow(qPrintable("token, then " + QString(tail))) << k + tail << QString();
        for (const char* c : {"+", "/", "=", ".", "%20", "%D0%B0"})
            QTest::newRow(qPrintable("token with " + QString(c)))
                << base + t.left(32) + c + t.mid(33) << QString();
    }

    void linkAcceptance() {
        QFETCH(QString, links);
        QFETCH(QString, token);
        QList<QUrl> urls;
        for (const QString& text : links.split('|', Qt::SkipEmptyParts))
            urls << QUrl(QString(text).replace("<t>", t), QUrl::StrictMode);
        QCOMPARE(pairingTokenFromLinks(urls).value_or(QString()), token);
    }

    void sheetText_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("line");         // lines 1 and 3 alone, the others to the end
        QTest::addColumn<QString>("expected"); // the whole example is the pairing test's
        const QByteArray thumbprint = "A1B2C3D4E5F6A7B8C9D0E1F2A3B4C5D6E7F8A9B0";
        const QString place = "\nМесто выбытия: 0c5b2444-70a0 · КПП 770101001";
        QTest::newRow("Production")
            << preview({{"production", "Production"}}) << 1 << "ИНН 7701234567 · Тестовый кабинет";
        QTest::newRow("5 characters") << preview({{thumbprint, "9AABB"}}) << 3 << "УКЭП …9AABB";
        QTest::newRow("accent stays with its letter")
            << preview({{thumbprint, "XXXXXXXXe\u0301"}}) << 3 << "УКЭП …XXXXXXXe\u0301";
        QTest::newRow("sign without prepare")
            << preview({{"autoPrepareFbs\": true", "autoPrepareFbs\": false"}}) << 6
            << "✓ Автоподписание FBS\n✓ Продление ЧЗ\n✓ Продление СУЗ";
        QTest::newRow("prepare without sign")
            << preview({{"autoSign\": true", "autoSign\": false"}}) << 6
            << "— Автоматический вывод FBS\n✓ Продление ЧЗ\n✓ Продление СУЗ" + place;
        QTest::newRow("all off") << preview({{"true", "false"}}) << 6
                                 << "— Автоматический вывод FBS\n— Продление ЧЗ\n— Продление СУЗ";
        QTest::newRow("no place") << preview({{"fiasId", "x"}, {"kpp", "y"}}) << 9
                                  << "Место выбытия: ";
        QTest::newRow("only kpp") << preview({{"fiasId", "x"}}) << 9
                                  << "Место выбытия:  · КПП 770101001";
    }

    void sheetText() {
        QFETCH(QByteArray, body);
        QFETCH(int, line);
        QFETCH(QString, expected);
        const auto decoded = decodePairingPreview(body);
        QVERIFY(decoded);
        const QStringList lines = pairingSheetText(*decoded).split('\n');
        QCOMPARE(lines.mid(line, line == 1 || line == 3 ? 1 : -1).join('\n'), expected);
    }

    void pairing_data() {
        QTest::addColumn<QByteArray>("previewBody");
        QTest::addColumn<bool>("accept");
        QTest::addColumn<int>("status");    // of the confirmation
        QTest::addColumn<QString>("alert"); // null: none
        const QString damaged = "Запрос подключения повреждён.";
        QTest::newRow("confirmed") << preview() << true << 200 << QString();
        QTest::newRow("cancelled") << preview() << false << 200 << QString();
        QTest::newRow("confirmation fails") << preview() << true << 500 << failed;
        QTest::newRow("no subject")
            << preview({{"certificateSubject", "subject"}}) << false << 200 << damaged;
        QTest::newRow("autoSign as 1")
            << preview({{"autoSign\": true", "autoSign\": 1"}}) << false << 200 << damaged;
    }

    void pairing() {
        QFETCH(QByteArray, previewBody);
        QFETCH(bool, accept);
        QFETCH(int, status);
        QFETCH(QString, alert);
        m_agent->setReply(previewPath, {.body = previewBody}, "POST");
        m_agent->setReply(confirmPath, {.status = status, .body = "oops"}, "POST");
        launch("{}", 503);
        const int activations = m_harness->desktop->activations;
        const QString first(64, 'a'), second(64, 'b');
        const QByteArray body = tokenBody('b');
        app().openUrls(links(first));
        app().openUrls(links(second));
        app().openUrls(links(first + "x")); // refused, so the parked one stays
        poll();
        QCOMPARE(m_agent->requestCount(previewPath), 0);
        QCOMPARE(m_harness->desktop->activations, activations);

        // The first ready reply starts the pairing and brings the window up.
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0")});
        poll();
        QCOMPARE(m_harness->desktop->activations, activations + 1);
        QTRY_COMPARE(presenter().sheets.size() + presenter().alerts.size(), 1);
        if (!presenter().sheets.isEmpty()) {
            QCOMPARE(presenter().sheets[0].text, example);
            QCOMPARE(presenter().sheets[0].acceptButton + "|" + presenter().sheets[0].rejectButton,
                     "Подключить и подтвердить УКЭП|Отмена");
            app().openUrls(links(QString(64, 'c'))); // dropped: a pairing runs
            const int polls = m_agent->requestCount("/v1/health");
            presenter().answerSheet(accept);
            // Only a confirmation refreshes the status.
            QTRY_COMPARE(m_agent->requestCount("/v1/health"), polls + accept);
        }
        QTRY_VERIFY(!app().state().pairingInFlight && !app().state().refreshInFlight);
        QCOMPARE(bodies(confirmPath), QList<QByteArray>(accept, body));
        QCOMPARE(presenter().alerts.size(), alert.isNull() ? 0 : 1);
        for (const auto& shown : presenter().alerts)
            QCOMPARE(shown.title + ": " + shown.message, "Подключение агента: " + alert);
        poll(); // neither the refused link nor the dropped one gets a preview
        QCOMPARE(bodies(previewPath), QList{body});
    }

    // Links that arrive while a failed preview's alert is open wait for it:
    // the latest is taken up once it closes, and no alert opens over another.
    void oneAlertAtATime() {
        m_agent->setReply(previewPath, {.status = 500, .body = "{}"}, "POST");
        launch();
        // The alert is open while these arrive; none may start a pairing under it.
        presenter().whileAlertOpen = [&] {
            for (char c = 'b'; presenter().alerts.size() == 1 && c <= 'k'; ++c)
                app().openUrls(links(QString(64, c)));
        };
        app().openUrls(links(QString(64, 'a')));
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
    // request nor a status poll.
    void requestSentOnce() {
        QTcpServer closer;
        QVERIFY(closer.listen(QHostAddress::LocalHost));
        int requests = 0;
        answerAll(closer, {},
                  [&](const QByteArray& seen) { requests += int(seen.count(" HTTP/1.1\r\n")); });
        const QUrl base(QString("http://127.0.0.1:%1").arg(closer.serverPort()));
        QNetworkAccessManager session;
        // Whoever made the session, privileged requests go out directly.
        session.setProxy({QNetworkProxy::HttpProxy, "127.0.0.1", m_proxy.port()});
        std::optional<PairingOutcome> outcome;
        sendPairingRequest(session, {base, "v1/app/pairing-confirm", "s", QString(64, 'a'), failed},
                           this, [&](PairingOutcome result) { outcome = std::move(result); });
        QTRY_VERIFY(outcome);
        QVERIFY(!outcome->body);
        QCOMPARE(outcome->failure, failed);
        // The closed connection is counted before the failure arrives, re-sent or not.
        QCOMPARE(requests, 1);
        std::optional<ReplyResult> poll;
        QNetworkAccessManager pollSession;
        sendStatusRequest(pollSession, agentUrl(base, "v1/health"), this,
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
        const QString failed = "Не удалось проверить доступ. Повторите попытку в приложении.";
        QTest::newRow("no lock") << false << FakeReply{} << "готова · ООО Ромашка";
        QTest::newRow("200") << true << FakeReply{} << "нужен доступ";
        // The agent may wait on the user for minutes; seconds are well within.
        QTest::newRow("200 after 4 s") << true << FakeReply{.delay = 4s} << "нужен доступ";
        QTest::newRow("200 with an error") << true << FakeReply{200, error} << "нужен доступ";
        QTest::newRow("403 string error") << true << FakeReply{403, error} << "нет";
        QTest::newRow("403 numeric error") << true << FakeReply{403, "{\"error\":403}"} << failed;
        QTest::newRow("403 without error") << true << FakeReply{403, "{}"} << failed;
        QTest::newRow("500 not JSON") << true << FakeReply{500, "Internal Server Error"} << failed;
        QTest::newRow("201") << true << FakeReply{201, "{}"} << failed;
        QTest::newRow("64 MiB error")
            << true << FakeReply{.status = 403, .patternSize = 64 << 20} << failed;
        QTest::newRow("302 not followed")
            << true << FakeReply{.status = 302, .body = error, .headers = {{"Location", "/moved"}}}
            << "нет";
    }

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
        // The refresh after the reply has no signing record to rewrite the line.
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0", {}, {"signing"})});
        const int polls = m_agent->requestCount("/v1/health");
        app().openSigningSettings();
        app().openSigningSettings();
        QTRY_COMPARE_WITH_TIMEOUT(m_agent->requestCount("/v1/health"), polls + locked, 30000);
        QTRY_VERIFY(!app().state().refreshInFlight && !app().state().credentialAccessInFlight);
        QCOMPARE(bodies(unlockPath), locked ? QList<QByteArray>{"{}"} : QList<QByteArray>());
        const QUrl page("https://cabinet.kestrel.example/app?view=integration");
        QCOMPARE(m_harness->desktop->opened, QList<QUrl>(locked ? 0 : 2, page));
        QCOMPARE(app().window()->signingDetails()->text(), "Подпись: " + line);
        // The round is over even though no later reply redrew the row.
        QCOMPARE(app().window()->signingButton()->text(),
                 locked ? "Разрешить доступ" : "Настроить в кабинете");
        QVERIFY(app().window()->signingButton()->isEnabled());
        QCOMPARE_LT(m_agent->bytesSent(unlockPath), 16 << 20);
        QVERIFY(presenter().alerts.isEmpty());
        QVERIFY(!integrationPageUrl(QUrl()));
    }

    // Another user's process takes the agent's port while a pairing sheet is
    // open, and answers as a ready agent: it gets neither the secret nor the
    // token, and the link waits for the port to be ours again.
    void portHeldByAnotherUser() {
        launch();
        app().openUrls(links(QString(64, 'a')));
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
        m_harness->wake->wake();
        poll();
        QCOMPARE(app().window()->statusTitle()->text(), "Порт агента занят другим пользователем");
        QCOMPARE(app().window()->statusDetails()->text(),
                 QString("Порт %1 слушает программа другого пользователя этого компьютера. Подпись "
                         "и печать недоступны, пока он не освободится.")
                     .arg(port));
        QVERIFY(app().state().statusColor == StatusColor::Red && !app().state().isAgentReady);
        QVERIFY(app().state().pendingPairingToken);
        QCOMPARE(eventCount("agent_port_foreign uid=65534"), 1);
        squatter.kill();
        QVERIFY(squatter.waitForFinished(30000));
        const QByteArray seen = squatter.readAllStandardOutput();
        QVERIFY(seen.startsWith("GET /v1/health "));
        QVERIFY(!seen.contains("POST") && !seen.contains("X-Kestrel-App") &&
                !seen.contains("aaaa"));

        // The port frees and our agent takes it: ready as usual, the link goes on.
        QTRY_VERIFY((m_agent = std::make_unique<FakeAgent>(port))->isListening());
        m_agent->setReply(previewPath, {.body = preview()}, "POST");
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0")});
        poll();
        QVERIFY(app().state().isAgentReady);
        QTRY_COMPARE(presenter().sheets.size(), 1);
        QCOMPARE(eventCount("agent_port_foreign uid=65534"), 1);
    }

    void resume() {
        m_agent->setReply(resumePath, {.status = 500, .body = "{}", .delay = 150ms}, "POST");
        launch("{}", 503);
        m_harness->wake->wake();
        poll();
        QCOMPARE(m_agent->requestCount(resumePath), 0);

        // Each ready reply retries; the delay lets the poll end before the failure.
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0")});
        for (int attempt = 1; attempt <= 2; ++attempt) {
            poll();
            QTRY_COMPARE(eventCount("wake_check_retry"), attempt);
            QCOMPARE(m_agent->requestCount(resumePath), attempt);
        }
        // A wake while the third attempt runs owes a check rather than sending one.
        m_agent->setReply(resumePath, {.body = "{}", .hang = true}, "POST");
        poll();
        m_harness->wake->wake();
        QTRY_VERIFY(!app().state().refreshInFlight);
        QVERIFY(app().state().resumeRequestInFlight && app().state().resumeCheckPending);
        m_agent->release();
        QTRY_COMPARE(eventCount("wake_check_requested"), 2);
        poll();
        QCOMPARE(bodies(resumePath), QList<QByteArray>(4, "{}"));
    }
};

int main(int argc, char** argv) {
    if (argc == 3 && qstrcmp(argv[1], "--squat") == 0)
        return squat(argc, argv);
    QApplication app(argc, argv);
    TestPairing test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_pairing.moc"
