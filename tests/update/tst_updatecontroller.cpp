#include "support/AppHarness.h"
#include "support/TlsTestServer.h"
#include "ui/MainWindow.h"
#include "update/Sha256.h"
#include "update/UpdateNetwork.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <system_error>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString updateHost = QStringLiteral("updates.kestrel.example");
const QString manifestPath = QStringLiteral("/downloads/print-agent/latest-macos.json");
const QString imageName = QStringLiteral("KESTREL-Agent-1.4.2-macOS-AppleSilicon.dmg");
const QString imagePath = QStringLiteral("/downloads/print-agent/") + imageName;
constexpr int waitMs = 15000;

const QString checkFailedText = QStringLiteral("Не удалось проверить обновление — повторим позже.");
const QString downloadFailedText = QStringLiteral("Не удалось скачать обновление.");
const QString downloadedText = QStringLiteral("Версия 1.4.2 скачана — откройте DMG.");

class RoutingFactory final : public NetworkFactory {
public:
    RoutingFactory(int port, QSslCertificate certificate)
        : m_port(port), m_certificate(std::move(certificate)) {}
    QNetworkAccessManager* create(QObject* parent) override {
        return createRoutingManager(updateHost, m_port, m_certificate, parent);
    }

private:
    int m_port;
    QSslCertificate m_certificate;
};

QString sha256Of(const QByteArray& data) {
    Sha256 hash;
    hash.update(data);
    return hash.finalHex();
}

QByteArray manifest(const QString& version, const QString& checksum) {
    const QString name = QStringLiteral("KESTREL-Agent-%1-macOS-AppleSilicon.dmg").arg(version);
    const QString json = QString::fromLatin1(
        "{\"version\": \"%1\", \"builds\": {\"macos-arm64\": {\"filename\": \"%2\", "
        "\"url\": \"https://%3/downloads/print-agent/%2\", \"sha256\": \"%4\"}}}");
    return json.arg(version, name, updateHost, checksum).toUtf8();
}

QByteArray paddedTo(QByteArray json, qsizetype size) {
    json.append(QByteArray(size - json.size(), ' '));
    return json;
}

QColor textColor(const QLabel* label) {
    return label->palette().color(QPalette::WindowText);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

// One launched controller whose update host is a local HTTPS server.
class UpdateFixture {
public:
    UpdateFixture() : server(updateHost) {
        // Nothing answers here: the agent poll must not reach a real agent.
        harness.config.agentBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:9"));
        harness.networkFactory =
            std::make_unique<RoutingFactory>(server.port(), server.certificate());
    }

    AppDelegate& launch() {
        harness.launch();
        return *harness.delegate;
    }
    AppDelegate& app() { return *harness.delegate; }
    MainWindow& window() { return *harness.delegate->window(); }

    QStringList checkEnds() const {
        return harness.events().filter(QRegularExpression(QStringLiteral("^update_check_end ")));
    }
    int checkBegins() const {
        return harness.events()
            .filter(QRegularExpression(QStringLiteral("^update_check_begin$")))
            .size();
    }
    bool waitForCheckEnds(int count) {
        return QTest::qWaitFor([&] { return checkEnds().size() >= count; }, waitMs) &&
               checkEnds().size() == count;
    }
    int imageRequests() const { return server.requestedPaths().count(imagePath); }
    QStringList downloadsEntries() const {
        return QDir(harness.downloadsFolder())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    QString destination() const { return QDir(harness.downloadsFolder()).filePath(imageName); }

    // Publishes 1.4.2 with this image and launches until the row offers it.
    bool launchWithImage(const TlsResponse& image, const QString& checksum) {
        server.setResponse(manifestPath, {.body = manifest(QStringLiteral("1.4.2"), checksum)});
        server.setResponse(imagePath, image);
        launch();
        if (!waitForCheckEnds(1))
            return false;
        return app().state().availableUpdate.has_value();
    }

    // Presses the update button and waits for the download's result.
    bool download() {
        const qsizetype reveals = harness.desktop->revealed.size();
        const qsizetype alerts = harness.presenter->alerts.size();
        window().updateButton()->click();
        return QTest::qWaitFor(
            [&] {
                return harness.desktop->revealed.size() > reveals ||
                       harness.presenter->alerts.size() > alerts;
            },
            waitMs);
    }

    TlsTestServer server;
    AppHarness harness;
};

class TestUpdateController : public QObject {
    Q_OBJECT

private slots:
    void checkOutcome_data();
    void checkOutcome();
    void endlessManifestIsCutOff();
    void networkFailureLogsNoStatus();
    void secondCheckWhileOneRunsDoesNothing();
    void failedCheckKeepsTheKnownBuild();
    void upToDateCheckForgetsTheBuild();

    void downloadPlacesAndRevealsTheImage();
    void downloadReplacesAnExistingFile();
    void downloadFails_data();
    void downloadFails();
    void downloadStopsEarlyWhenTooLarge_data();
    void downloadStopsEarlyWhenTooLarge();
    void destinationThatCannotBeRemoved();
    void noSecondDownloadAndCheckLeavesTheRowAlone();
    void quittingDuringADownloadLeavesNoPartialFile();
    void transportErrorShowsTheNetworkText();
    void exchangeLimitAbortsASlowReply();
};

void TestUpdateController::checkOutcome_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("redirect");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("color");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("knowsBuild");

    const QString sha(64, QLatin1Char('a'));
    const QByteArray newer = manifest(QStringLiteral("1.4.2"), sha);
    const QString available = QStringLiteral("Доступна новая версия 1.4.2");
    const int orange = int(StatusColor::Orange);
    const int secondary = int(StatusColor::Secondary);
    const QString download = QStringLiteral("Скачать обновление");
    const QString again = QStringLiteral("Проверить снова");

    QTest::newRow("newer build") << 200 << newer << false << available << orange << download
                                 << true;
    QTest::newRow("redirect followed")
        << 200 << newer << true << available << orange << download << true;
    QTest::newRow("up to date") << 200 << manifest(QStringLiteral("1.0.0"), sha) << false
                                << QStringLiteral("Установлена актуальная версия 1.0.0")
                                << secondary << QStringLiteral("Проверить обновления") << false;
    QTest::newRow("404") << 404 << QByteArray("missing") << false << checkFailedText << secondary
                         << again << false;
    QTest::newRow("no body") << 200 << QByteArray() << false << checkFailedText << secondary
                             << again << false;
    QTest::newRow("not JSON") << 200 << QByteArray("<html>") << false << checkFailedText
                              << secondary << again << false;
    QTest::newRow("rejected build") << 200 << manifest(QStringLiteral("1.4.2"), sha.toUpper())
                                    << false << checkFailedText << secondary << again << false;
    QTest::newRow("exactly 131072 bytes")
        << 200 << paddedTo(newer, 131072) << false << available << orange << download << true;
    QTest::newRow("131073 bytes") << 200 << paddedTo(newer, 131073) << false << checkFailedText
                                  << secondary << again << false;
}

void TestUpdateController::checkOutcome() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, redirect);
    QFETCH(QString, label);
    QFETCH(int, color);
    QFETCH(QString, button);
    QFETCH(bool, knowsBuild);

    UpdateFixture fixture;
    const QString served = redirect ? QStringLiteral("/mirror/latest.json") : manifestPath;
    fixture.server.setResponse(served, {.status = status, .body = body});
    if (redirect)
        fixture.server.setResponse(manifestPath, {.redirectTo = served});
    fixture.launch();

    QCOMPARE(fixture.window().updateLabel()->text(),
             QStringLiteral("Проверяем наличие обновления…"));
    QCOMPARE(fixture.window().updateButton()->text(), QStringLiteral("Проверяем…"));
    QVERIFY(!fixture.window().updateButton()->isEnabled());
    QVERIFY(fixture.app().state().updateCheckInFlight);

    QVERIFY(fixture.waitForCheckEnds(1));
    QCOMPARE(fixture.checkEnds(),
             QStringList{QStringLiteral("update_check_end http=%1").arg(status)});
    QCOMPARE(fixture.checkBegins(), 1);
    QVERIFY(!fixture.app().state().updateCheckInFlight);
    QCOMPARE(fixture.server.lastUserAgent(), QStringLiteral("Orvanta-Print/1.0.0"));
    QCOMPARE(fixture.window().updateLabel()->text(), label);
    QCOMPARE(textColor(fixture.window().updateLabel()),
             statusQColor(StatusColor(color), fixture.window().updateLabel()->palette()));
    QCOMPARE(fixture.window().updateButton()->text(), button);
    QVERIFY(fixture.window().updateButton()->isEnabled());
    QCOMPARE(fixture.app().state().availableUpdate.has_value(), knowsBuild);
    if (knowsBuild)
        QCOMPARE(fixture.app().state().availableUpdate->url,
                 QUrl(QStringLiteral("https://%1%2").arg(updateHost, imagePath)));
}

void TestUpdateController::endlessManifestIsCutOff() {
    UpdateFixture fixture;
    fixture.server.setResponse(manifestPath, {.endless = true});
    fixture.launch();
    QVERIFY(fixture.waitForCheckEnds(1));
    QCOMPARE(fixture.checkEnds().first(), QStringLiteral("update_check_end http=200"));
    QCOMPARE(fixture.window().updateLabel()->text(), checkFailedText);
    // Far below the server's own bound: what is in flight when we hang up.
    QTRY_COMPARE_WITH_TIMEOUT(fixture.server.activeResponses(), 0, waitMs);
    QVERIFY2(fixture.server.bytesSent(manifestPath) < 32 * 1024 * 1024,
             qPrintable(QString::number(fixture.server.bytesSent(manifestPath))));
}

void TestUpdateController::networkFailureLogsNoStatus() {
    int closedPort = 0;
    QSslCertificate certificate;
    {
        TlsTestServer gone(updateHost);
        closedPort = gone.port();
        certificate = gone.certificate();
    }
    UpdateFixture fixture;
    fixture.harness.networkFactory = std::make_unique<RoutingFactory>(closedPort, certificate);
    fixture.launch();
    QVERIFY(fixture.waitForCheckEnds(1));
    QCOMPARE(fixture.checkEnds().first(), QStringLiteral("update_check_end http=0"));
    QCOMPARE(fixture.window().updateLabel()->text(), checkFailedText);
    QCOMPARE(fixture.window().updateButton()->text(), QStringLiteral("Проверить снова"));
}

void TestUpdateController::secondCheckWhileOneRunsDoesNothing() {
    UpdateFixture fixture;
    fixture.server.setResponse(manifestPath, {.body = manifest("1.0.0", QString(64, 'a'))});
    fixture.launch();
    const QStringList before = fixture.harness.logLines();
    fixture.app().checkForUpdate();
    fixture.app().handleUpdateButton();
    QCOMPARE(fixture.harness.logLines(), before);
    QVERIFY(fixture.waitForCheckEnds(1));
    QCOMPARE(fixture.checkBegins(), 1);
    QCOMPARE(fixture.server.requestedPaths(), QStringList{manifestPath});
}

void TestUpdateController::failedCheckKeepsTheKnownBuild() {
    UpdateFixture fixture;
    const QByteArray image("disk image");
    QVERIFY(fixture.launchWithImage({.body = image}, sha256Of(image)));
    const AvailableUpdate known = *fixture.app().state().availableUpdate;

    fixture.server.setResponse(manifestPath, {.status = 500, .body = "down"});
    fixture.app().checkForUpdate();
    QVERIFY(fixture.waitForCheckEnds(2));
    QCOMPARE(fixture.checkEnds().last(), QStringLiteral("update_check_end http=500"));
    QCOMPARE(fixture.window().updateLabel()->text(), checkFailedText);
    QCOMPARE(fixture.window().updateButton()->text(), QStringLiteral("Скачать обновление"));
    QCOMPARE(fixture.app().state().availableUpdate, std::optional(known));

    QVERIFY(fixture.download());
    QCOMPARE(fixture.imageRequests(), 1);
    QCOMPARE(readFile(fixture.destination()), image);
}

void TestUpdateController::upToDateCheckForgetsTheBuild() {
    UpdateFixture fixture;
    QVERIFY(fixture.launchWithImage({.body = "x"}, sha256Of("x")));
    fixture.server.setResponse(manifestPath, {.body = manifest("1.0.0", QString(64, 'a'))});
    fixture.app().checkForUpdate();
    QVERIFY(fixture.waitForCheckEnds(2));
    QVERIFY(!fixture.app().state().availableUpdate);
    QCOMPARE(fixture.window().updateButton()->text(), QStringLiteral("Проверить обновления"));

    fixture.window().updateButton()->click();
    QCOMPARE(fixture.checkBegins(), 3);
    QVERIFY(fixture.waitForCheckEnds(3));
    QCOMPARE(fixture.imageRequests(), 0);
}

void TestUpdateController::downloadPlacesAndRevealsTheImage() {
    UpdateFixture fixture;
    const qint64 size = 3 * Sha256::chunkBytes + 12345;
    const QByteArray image = patternBytes(0, size);
    QVERIFY(fixture.launchWithImage({.patternSize = size}, sha256Of(image)));
    QVERIFY(!QDir(fixture.harness.downloadsFolder()).exists());

    fixture.window().updateButton()->click();
    QCOMPARE(fixture.window().updateLabel()->text(),
             QStringLiteral("Скачиваем ") + imageName + QStringLiteral("…"));
    QVERIFY(!fixture.window().updateButton()->isEnabled());
    QCOMPARE(fixture.window().updateButton()->text(), QStringLiteral("Скачать обновление"));
    QVERIFY(fixture.window().updateProgress()->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(fixture.harness.desktop->revealed.size(), 1, waitMs);

    QCOMPARE(fixture.harness.desktop->revealed.first(), fixture.destination());
    QCOMPARE(fixture.downloadsEntries(), QStringList{imageName});
    QCOMPARE(readFile(fixture.destination()), image);
    QCOMPARE(fixture.server.lastUserAgent(), QStringLiteral("Orvanta-Print/1.0.0"));
    QCOMPARE(fixture.window().updateLabel()->text(), downloadedText);
    QCOMPARE(textColor(fixture.window().updateLabel()),
             statusQColor(StatusColor::Green, fixture.window().updateLabel()->palette()));
    QCOMPARE(fixture.window().updateButton()->text(), QStringLiteral("Скачать ещё раз"));
    QVERIFY(fixture.window().updateButton()->isEnabled());
    QVERIFY(!fixture.window().updateProgress()->isVisible());
    QVERIFY(fixture.harness.presenter->alerts.isEmpty());
    QVERIFY(fixture.app().state().availableUpdate.has_value());

    // Pressing again fetches, verifies and replaces the same file.
    QFile::remove(fixture.destination());
    QVERIFY(fixture.download());
    QCOMPARE(fixture.harness.desktop->revealed.size(), 2);
    QCOMPARE(fixture.imageRequests(), 2);
    QCOMPARE(fixture.downloadsEntries(), QStringList{imageName});
    QCOMPARE(readFile(fixture.destination()), image);
}

void TestUpdateController::downloadReplacesAnExistingFile() {
    UpdateFixture fixture;
    const QByteArray image("the new image");
    QDir().mkpath(fixture.harness.downloadsFolder());
    QFile old(fixture.destination());
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("an older, longer image that must go away");
    old.close();

    QVERIFY(fixture.launchWithImage({.body = image}, sha256Of(image)));
    QVERIFY(fixture.download());
    QCOMPARE(fixture.window().updateLabel()->text(), downloadedText);
    QCOMPARE(fixture.downloadsEntries(), QStringList{imageName});
    QCOMPARE(readFile(fixture.destination()), image);
}

void TestUpdateController::downloadFails_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("wrongChecksum");
    QTest::addColumn<QString>("message");

    const QByteArray image("disk image bytes");
    QTest::newRow("404") << 404 << image << false << downloadFailedText;
    QTest::newRow("500") << 500 << image << false << downloadFailedText;
    QTest::newRow("empty body") << 200 << QByteArray() << false
                                << QStringLiteral("Файл обновления имеет недопустимый размер.");
    QTest::newRow("checksum mismatch")
        << 200 << image << true << QStringLiteral("Контрольная сумма обновления не совпала.");
}

void TestUpdateController::downloadFails() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, wrongChecksum);
    QFETCH(QString, message);

    UpdateFixture fixture;
    const QString checksum = wrongChecksum ? sha256Of(body + "x") : sha256Of(body);
    QVERIFY(fixture.launchWithImage({.status = status, .body = body}, checksum));
    QVERIFY(fixture.download());

    QCOMPARE(fixture.harness.presenter->alerts.size(), 1);
    QCOMPARE(fixture.harness.presenter->alerts.first().title,
             QStringLiteral("Обновление не скачано"));
    QCOMPARE(fixture.harness.presenter->alerts.first().message, message);
    QCOMPARE(fixture.window().updateLabel()->text(), downloadFailedText);
    QCOMPARE(textColor(fixture.window().updateLabel()),
             statusQColor(StatusColor::Red, fixture.window().updateLabel()->palette()));
    QCOMPARE(fixture.window().updateButton()->text(), QStringLiteral("Скачать обновление"));
    QVERIFY(fixture.window().updateButton()->isEnabled());
    QVERIFY(!fixture.window().updateProgress()->isVisible());
    QVERIFY(fixture.harness.desktop->revealed.isEmpty());
    QCOMPARE(fixture.downloadsEntries(), QStringList{});
    QVERIFY(fixture.app().state().availableUpdate.has_value());
}

void TestUpdateController::downloadStopsEarlyWhenTooLarge_data() {
    QTest::addColumn<qint64>("imageSize");
    QTest::addColumn<bool>("announced");
    QTest::addColumn<bool>("accepted");

    const qint64 limit = 2 * Sha256::chunkBytes;
    QTest::newRow("exactly the limit") << limit << true << true;
    QTest::newRow("one byte over, announced") << limit + 1 << true << false;
    QTest::newRow("far over, announced") << qint64(512) * Sha256::chunkBytes << true << false;
    QTest::newRow("no length, without end") << qint64(-1) << false << false;
}

void TestUpdateController::downloadStopsEarlyWhenTooLarge() {
    QFETCH(qint64, imageSize);
    QFETCH(bool, announced);
    QFETCH(bool, accepted);

    UpdateFixture fixture;
    fixture.harness.config.maximumUpdateBytes = 2 * Sha256::chunkBytes;
    TlsResponse image;
    if (announced)
        image.patternSize = imageSize;
    else
        image.endless = true;
    const QString checksum = announced ? sha256Of(patternBytes(0, imageSize)) : QString(64, 'a');
    QVERIFY(fixture.launchWithImage(image, checksum));
    QVERIFY(fixture.download());

    if (accepted) {
        QCOMPARE(fixture.harness.desktop->revealed, QStringList{fixture.destination()});
        QCOMPARE(QFileInfo(fixture.destination()).size(), imageSize);
        return;
    }
    QCOMPARE(fixture.harness.presenter->alerts.size(), 1);
    QCOMPARE(fixture.harness.presenter->alerts.first().message,
             QStringLiteral("Файл обновления имеет недопустимый размер."));
    QCOMPARE(fixture.downloadsEntries(), QStringList{});
    QTRY_COMPARE_WITH_TIMEOUT(fixture.server.activeResponses(), 0, waitMs);
    QVERIFY2(fixture.server.bytesSent(imagePath) < 64 * Sha256::chunkBytes,
             qPrintable(QString::number(fixture.server.bytesSent(imagePath))));
}

void TestUpdateController::destinationThatCannotBeRemoved() {
    UpdateFixture fixture;
    const QByteArray image("image");
    // A folder with content under the image's name: removing it fails
    // whoever runs the test.
    QVERIFY(QDir().mkpath(fixture.destination() + QStringLiteral("/inside")));
    QVERIFY(fixture.launchWithImage({.body = image}, sha256Of(image)));
    QVERIFY(fixture.download());

    QCOMPARE(fixture.harness.presenter->alerts.size(), 1);
    QCOMPARE(
        fixture.harness.presenter->alerts.first().message,
        QString::fromStdString(std::make_error_code(std::errc::directory_not_empty).message()));
    QCOMPARE(fixture.window().updateLabel()->text(), downloadFailedText);
    QCOMPARE(fixture.downloadsEntries(), QStringList{imageName});
    QVERIFY(QFileInfo(fixture.destination()).isDir());
}

void TestUpdateController::noSecondDownloadAndCheckLeavesTheRowAlone() {
    UpdateFixture fixture;
    const qint64 size = 4 * Sha256::chunkBytes;
    const QByteArray image = patternBytes(0, size);
    QVERIFY(fixture.launchWithImage({.patternSize = size, .holdHalfway = true}, sha256Of(image)));

    fixture.window().updateButton()->click();
    const QString downloading = QStringLiteral("Скачиваем ") + imageName + QStringLiteral("…");
    QTRY_VERIFY_WITH_TIMEOUT(fixture.server.bytesSent(imagePath) >= size / 2, waitMs);
    fixture.app().downloadAvailableUpdate();
    fixture.app().handleUpdateButton();

    fixture.app().checkForUpdate();
    QVERIFY(fixture.waitForCheckEnds(2));
    QCOMPARE(fixture.window().updateLabel()->text(), downloading);
    QVERIFY(!fixture.window().updateButton()->isEnabled());
    QVERIFY(fixture.window().updateProgress()->isVisible());
    QCOMPARE(fixture.imageRequests(), 1);

    fixture.server.release();
    QTRY_COMPARE_WITH_TIMEOUT(fixture.harness.desktop->revealed.size(), 1, waitMs);
    QCOMPARE(fixture.window().updateLabel()->text(), downloadedText);
    QCOMPARE(fixture.imageRequests(), 1);
    QCOMPARE(readFile(fixture.destination()), image);
}

void TestUpdateController::quittingDuringADownloadLeavesNoPartialFile() {
    UpdateFixture fixture;
    const qint64 size = 4 * Sha256::chunkBytes;
    QVERIFY(fixture.launchWithImage({.patternSize = size, .holdHalfway = true},
                                    sha256Of(patternBytes(0, size))));
    fixture.window().updateButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(fixture.downloadsEntries().size() == 1, waitMs);
    const QRegularExpression partialName(QRegularExpression::anchoredPattern(
        QStringLiteral("\\.") + QRegularExpression::escape(imageName) +
        QStringLiteral("\\.[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.part")));
    QVERIFY2(partialName.match(fixture.downloadsEntries().first()).hasMatch(),
             qPrintable(fixture.downloadsEntries().first()));

    fixture.harness.delegate->applicationWillTerminate();
    fixture.harness.delegate.reset();
    QCOMPARE(fixture.downloadsEntries(), QStringList{});
}

void TestUpdateController::transportErrorShowsTheNetworkText() {
    UpdateFixture fixture;
    QVERIFY(fixture.launchWithImage({.body = "x"}, sha256Of("x")));
    fixture.server.stop();
    QVERIFY(fixture.download());
    QCOMPARE(fixture.harness.presenter->alerts.size(), 1);
    QCOMPARE(fixture.harness.presenter->alerts.first().message,
             QStringLiteral("Connection refused"));
    QCOMPARE(fixture.window().updateLabel()->text(), downloadFailedText);
    QVERIFY(!QDir(fixture.harness.downloadsFolder()).exists());
}

void TestUpdateController::exchangeLimitAbortsASlowReply() {
    TlsTestServer server(updateHost);
    server.setResponse(imagePath, {.patternSize = 4096, .holdHalfway = true});
    std::unique_ptr<QNetworkAccessManager> session(
        createRoutingManager(updateHost, server.port(), server.certificate(), nullptr));
    configureUpdateSession(*session);

    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QNetworkReply> reply(startUpdateExchange(
        *session, updateRequest(QUrl("https://" + updateHost + imagePath), "1.0.0"),
        std::chrono::milliseconds(300)));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    QVERIFY(finished.wait(waitMs));
    QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
    // A coarse timer may fire up to 5 % early.
    QVERIFY2(clock.elapsed() >= 280 && clock.elapsed() < 5000,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(server.bytesSent(imagePath), 2048);
}

QTEST_MAIN(TestUpdateController)
#include "tst_updatecontroller.moc"
