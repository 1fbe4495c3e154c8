#include "agentclient/StatusRequest.h"
#include "pairing/PairingLink.h"
#include "pairing/PairingPreview.h"
#include "pairing/PairingRequest.h"
#include "pairing/SigningAccess.h"
#include "support/AppHarness.h"
#include "support/FakeAgent.h"
#include "ui/MainWindow.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;

namespace {

const QString previewPath = "/v1/app/pairing-preview", confirmPath = "/v1/app/pairing-confirm",
              unlockPath = "/v1/app/unlock-credentials", resumePath = "/v1/app/resume";
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

// A process of another user listening on 127.0.0.1 and [::1] at `port`: it
// answers every request with `reply` and passes what it received back up a
// pipe. Between fork and exit the child uses system calls and its stack only.
class ForeignListener {
public:
    ForeignListener(uid_t uid, quint16 port, const QByteArray& reply) {
        int ready[2], seen[2];
        if (::pipe(ready) != 0 || ::pipe(seen) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0)
            serve(uid, port, reply, ready[1], seen[1]);
        ::close(ready[1]);
        ::close(seen[1]);
        m_seen = seen[0];
        char byte = 0;
        m_listening = m_pid > 0 && ::read(ready[0], &byte, 1) == 1 && byte == 'k';
        m_uidRefused = byte == 'u';
        ::close(ready[0]);
    }
    ~ForeignListener() {
        stop();
        ::close(m_seen);
    }
    bool isListening() const { return m_listening; }
    // The system would not let the child become `uid`.
    bool uidRefused() const { return m_uidRefused; }
    void stop() {
        if (m_pid > 0 && ::kill(m_pid, SIGKILL) == 0)
            ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    // Every request received so far (read once the listener has stopped).
    QByteArray received() const {
        QByteArray all;
        char buffer[4096];
        for (ssize_t n; (n = ::read(m_seen, buffer, sizeof buffer)) > 0;)
            all.append(buffer, n);
        return all;
    }

private:
    [[noreturn]] static void serve(uid_t uid, quint16 port, const QByteArray& reply, int ready,
                                   int seen) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) {
            (void)!::write(ready, "u", 1);
            ::_exit(2);
        }
        pollfd listeners[2];
        int count = 0;
        const int on = 1;
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        v6.sin6_addr = in6addr_loopback;
        for (const int family : {AF_INET, AF_INET6}) {
            const int fd = ::socket(family, SOCK_STREAM, 0);
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            if (family == AF_INET6)
                ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            const bool bound = family == AF_INET
                                   ? ::bind(fd, reinterpret_cast<sockaddr*>(&v4), sizeof v4) == 0
                                   : ::bind(fd, reinterpret_cast<sockaddr*>(&v6), sizeof v6) == 0;
            // IPv4 is required; a system without IPv6 has no [::1] to take.
            if (!bound || ::listen(fd, 16) != 0) {
                if (family == AF_INET)
                    ::_exit(3);
                continue;
            }
            listeners[count++] = {fd, POLLIN, 0};
        }
        (void)!::write(ready, "k", 1);
        char request[16384];
        for (;;) {
            if (::poll(listeners, nfds_t(count), -1) <= 0)
                continue;
            for (int i = 0; i < count; ++i) {
                if (!(listeners[i].revents & POLLIN))
                    continue;
                const int client = ::accept(listeners[i].fd, nullptr, nullptr);
                if (client < 0)
                    continue;
                // Whatever comes within a moment of the first bytes is the request.
                size_t length = 0;
                pollfd wait{client, POLLIN, 0};
                while (length<sizeof request&& ::poll(&wait, 1, length ? 100 : 2000)> 0) {
                    const ssize_t n = ::read(client, request + length, sizeof request - length);
                    if (n <= 0)
                        break;
                    length += size_t(n);
                }
                (void)!::write(seen, request, length);
                (void)!::write(client, reply.constData(), size_t(reply.size()));
                ::close(client);
            }
        }
    }

    pid_t m_pid = -1;
    int m_seen = -1;
    bool m_listening = false;
    bool m_uidRefused = false;
};

} // namespace

class TestPairing : public QObject {
    Q_OBJECT

    // The proxy the environment and the application name; nothing may
    // ever reach it.
    FakeAgent m_proxy;
    std::unique_ptr<FakeAgent> m_agent;
    std::unique_ptr<AppHarness> m_harness;

    AppDelegate& app() { return *m_harness->delegate; }
    RecordingPresenter& presenter() { return *m_harness->presenter; }
    static QList<QUrl> links(const QString& token) {
        return {QUrl("kestrel://connect?pairingToken=" + token, QUrl::StrictMode)};
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
    void initTestCase() {
        qputenv("http_proxy", m_proxy.baseUrl().toEncoded());
        QNetworkProxy::setApplicationProxy({QNetworkProxy::HttpProxy, "127.0.0.1", m_proxy.port()});
    }

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
        QFile file(m_harness->home.filePath("secret"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray secret = file.readAll();
        QCOMPARE(secret.size(), 72);
        QVERIFY(!log.isEmpty() && !log.contains(QString::fromUtf8(secret)));
        QVERIFY(!log.contains(QRegularExpression("[A-Za-z0-9_-]{64}"))); // no token
        for (const RecordedRequest& request : m_agent->requests())
            if (request.method == "POST")
                QCOMPARE(request.header("X-Kestrel-App") + " " + request.header("Content-Type"),
                         secret + " application/json");
    }

    void linkAcceptance_data() {
        QTest::addColumn<QString>("links"); // separated by "|"
        QTest::addColumn<QString>("token"); // null: refused
        const QString t = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-";
        const QString base = "kestrel://connect?pairingToken=", no, _ = QString("_-").repeated(32);
        QTest::newRow("plain") << base + t << t;
        QTest::newRow("slash path") << "kestrel://connect/?pairingToken=" + t << t;
        QTest::newRow("upper-case scheme and host") << "KESTREL://CONNECT?pairingToken=" + t << t;
        QTest::newRow("only _ and -") << base + _ << _;
        QTest::newRow("percent-decoded") << base + "%41" + t.mid(1) << "A" + t.mid(1);
        QTest::newRow("no link") << QString() << no;
        QTest::newRow("two links") << base + t + "|" + base + t << no;
        QTest::newRow("unparseable") << "kestrel://conn ect?pairingToken=" + t << no;
        QTest::newRow("other scheme") << "https://connect?pairingToken=" + t << no;
        QTest::newRow("other host") << "kestrel://connect.example?pairingToken=" + t << no;
        QTest::newRow("user") << "kestrel://user@connect?pairingToken=" + t << no;
        QTest::newRow("empty user") << "kestrel://@connect?pairingToken=" + t << no;
        QTest::newRow("password") << "kestrel://:pw@connect?pairingToken=" + t << no;
        QTest::newRow("port") << "kestrel://connect:43127?pairingToken=" + t << no;
        QTest::newRow("empty fragment") << base + t + "#" << no;
        QTest::newRow("longer path") << "kestrel://connect/pair?pairingToken=" + t << no;
        QTest::newRow("empty query") << "kestrel://connect/?" << no;
        QTest::newRow("second item") << base + t + "&source=cabinet" << no;
        QTest::newRow("empty second item") << base + t + "&" << no;
        QTest::newRow("capitalised name") << "kestrel://connect?PairingToken=" + t << no;
        QTest::newRow("item without =") << "kestrel://connect?pairingToken" << no;
        QTest::newRow("63 characters") << base + t.left(63) << no;
        QTest::newRow("65 characters") << base + t + "a" << no;
        for (const char* c : {"+", "/", "=", ".", "%20", "%D0%B0"})
            QTest::newRow(c) << base + t.left(32) + c + t.mid(33) << no;
        QTest::newRow("line feed") << base + t + "%0A" << no;
    }

    void linkAcceptance() {
        QFETCH(QString, links);
        QFETCH(QString, token);
        QList<QUrl> urls;
        for (const QString& text : links.split('|', Qt::SkipEmptyParts))
            urls << QUrl(text, QUrl::StrictMode);
        QCOMPARE(pairingTokenFromLinks(urls).value_or(QString()), token);
    }

    void sheetText_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("line"); // lines 1 and 3 alone, the others to the end
        QTest::addColumn<QString>("expected");
        const QByteArray thumbprint = "A1B2C3D4E5F6A7B8C9D0E1F2A3B4C5D6E7F8A9B0";
        const QString place = "\nМесто выбытия: 0c5b2444-70a0 · КПП 770101001";
        QTest::newRow("example") << preview() << 0 << example;
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
        const QByteArray body = "{\"pairingToken\":\"" + second.toLatin1() + "\"}";
        app().openUrls(links(first));
        app().openUrls(links(second));
        app().openUrls(links(first + "x")); // refused, so the parked one stays
        QCOMPARE(app().state().pendingPairingToken, std::optional(second));
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
            QCOMPARE(presenter().sheets[0].acceptButton, "Подключить и подтвердить УКЭП");
            QCOMPARE(presenter().sheets[0].rejectButton, "Отмена");
            app().openUrls(links(QString(64, 'c'))); // dropped: a pairing runs
            QVERIFY(!app().state().pendingPairingToken);
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
        poll();
        QCOMPARE(bodies(previewPath), QList{body});
    }

    // Links that arrive while a failed preview's alert is open wait for it:
    // the latest is taken up once it closes, and no alert opens over another.
    void oneAlertAtATime() {
        m_agent->setReply(previewPath, {.status = 500, .body = "{}"}, "POST");
        launch();
        int depth = 0, deepest = 0;
        presenter().whileAlertOpen = [&] {
            deepest = std::max(deepest, ++depth);
            for (int i = 0; presenter().alerts.size() == 1 && i < 10; ++i) {
                app().openUrls(links(QString(64, QChar('b' + i))));
                QTest::qWait(50);
            }
            --depth;
        };
        app().openUrls(links(QString(64, 'a')));
        QTRY_COMPARE(presenter().alerts.size(), 2);
        QTRY_VERIFY(!app().state().pairingInFlight);
        QCOMPARE(deepest, 1);
        const QString last(64, 'k');
        QCOMPARE(bodies(previewPath),
                 QList<QByteArray>({"{\"pairingToken\":\"" + QByteArray(64, 'a') + "\"}",
                                    "{\"pairingToken\":\"" + last.toLatin1() + "\"}"}));
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
        connect(&closer, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket* socket = closer.nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, socket, [&requests, socket] {
                    requests += int(socket->readAll().count(" HTTP/1.1\r\n"));
                    socket->close();
                    socket->deleteLater();
                });
        });
        const QUrl base(QString("http://127.0.0.1:%1").arg(closer.serverPort()));
        QNetworkAccessManager session;
        std::optional<PairingOutcome> outcome;
        sendPairingRequest(session, {base, "v1/app/pairing-confirm", "s", QString(64, 'a'), failed},
                           this, [&](PairingOutcome result) { outcome = std::move(result); });
        QTRY_VERIFY(outcome);
        QVERIFY(!outcome->body);
        QCOMPARE(outcome->failure, failed);
        std::optional<ReplyResult> poll;
        QNetworkAccessManager pollSession;
        sendStatusRequest(pollSession, agentUrl(base, "v1/health"), this,
                          [&](const ReplyResult& result) { poll = result; });
        QTRY_VERIFY(poll);
        QVERIFY(poll->error && !poll->body);
        QTest::qWait(200);
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
        const QJsonObject lock = QJsonDocument::fromJson(R"({"signing": {"configured": true,
            "enabled": false, "code": "keychain_locked", "message": "нужен доступ"}})")
                                     .object();
        launch(healthBody("1.0.0", locked ? lock : QJsonObject()));
        // The refresh after the reply has no signing record to rewrite the line.
        m_agent->setReply("/v1/health", {.body = healthBody("1.0.0", {}, {"signing"})});
        const int polls = m_agent->requestCount("/v1/health");
        app().openSigningSettings();
        app().openSigningSettings();
        QTRY_COMPARE(m_agent->requestCount("/v1/health"), polls + locked);
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
        QCOMPARE(integrationPageUrl(QUrl("https://cabinet.kestrel.example/")), page);
        QVERIFY(!integrationPageUrl(QUrl()));
    }

    // Another user's process holds the agent's port and answers as a ready
    // agent: it gets neither the secret nor the token, and a link waits for
    // the port to be ours again.
    void portHeldByAnotherUser() {
        if (::geteuid() != 0)
            QSKIP("starting a listener as another user (uid 65534) needs root; the suite runs "
                  "as root in CI");
        const quint16 port = FakeAgent().port(); // free once the probe is gone
        const QByteArray health = healthBody("1.0.0");
        ForeignListener squatter(65534, port,
                                 "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                 "Connection: close\r\nContent-Length: " +
                                     QByteArray::number(health.size()) + "\r\n\r\n" + health);
        if (squatter.uidRefused())
            QSKIP("this system does not let the test change a process to uid 65534");
        QVERIFY2(squatter.isListening(), "the listener of uid 65534 did not start");
        m_agent = std::make_unique<FakeAgent>(); // answers nothing here; the secret check needs it
        m_harness->config.agentBaseUrl = m_harness->config.privateAgentUrl =
            QUrl(QString("http://127.0.0.1:%1").arg(port));
        m_harness->launch();
        app().openUrls(links(QString(64, 'a')));
        QTRY_VERIFY(!app().state().refreshInFlight);
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
        squatter.stop();
        const QByteArray seen = squatter.received();
        QVERIFY(seen.startsWith("GET /v1/health "));
        QVERIFY(!seen.contains("POST") && !seen.contains("X-Kestrel-App") &&
                !seen.contains("aaaa"));

        // The port frees and our agent takes it: ready as usual, the link goes on.
        QTRY_VERIFY((m_agent = std::make_unique<FakeAgent>(port))->isListening());
        m_agent->setReply(previewPath, {.body = preview()}, "POST");
        m_agent->setReply("/v1/health", {.body = health});
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

QTEST_MAIN(TestPairing)
#include "tst_pairing.moc"
