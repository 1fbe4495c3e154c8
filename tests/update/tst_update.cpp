#include "app/ApplicationSetup.h"
#include "platform/SystemText.h"
#include "support/AppHarness.h"
#include "support/Files.h"
#include "support/UpdateHost.h"
#include "ui/MainWindow.h"
#include "update/ManifestCheck.h"
#include "update/Sha256.h"
#include "update/UpdateNetwork.h"
#include "update/UpdateSelection.h"

#include <QCryptographicHash>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

using namespace kestrel;
using namespace kestrel::test;

Q_DECLARE_METATYPE(kestrel::test::TlsResponse)

namespace {

const QString folder = QStringLiteral("/downloads/print-agent/");
// This build's platform, as the controller's default configuration has it.
const UpdatePlatform ours = thisUpdatePlatform();
const QString manifestPath = folder + QStringLiteral("latest-linux.json");
const QString sha(64, u'a');
const QString checkFailed = QStringLiteral("Не удалось проверить обновление — повторим позже.");
const QString downloadFailed = QStringLiteral("Не удалось скачать обновление.");
const QString badSize = QStringLiteral("Файл обновления имеет недопустимый размер.");
QString nameOf(const QString& version, const QString& key = ours.buildKey) {
    return key == "macos-arm64"
               ? QStringLiteral("KESTREL-Agent-%1-macOS-AppleSilicon.dmg").arg(version)
               : QStringLiteral("KESTREL-Agent-%1-%2.deb").arg(version, key);
}

const QString imageName = nameOf("1.4.2");
const QString imagePath = folder + imageName;
const QString downloading =
    "Скачиваем " + imageName + "… / orange / Скачать обновление / off / progress";
// Stands for a server that refuses connections.
constexpr int refused = 0;
// A checksum the image does not have; a folder with content under the image's name, which
// nobody can remove; a file where the Downloads folder should be (root ignores permissions, not
// file types); an older image, and a file size limit reached halfway through the new one.
enum Obstacle { none, wrongChecksum, folderInTheWay, fileAsDownloads, fileSizeLimit };

// A manifest publishing `version` with one build under `key`.
QByteArray manifest(const QString& version, const QString& checksum = sha, QString url = {},
                    QString name = {}, const QString& key = ours.buildKey) {
    name = name.isEmpty() ? nameOf(version, key) : name;
    url = url.isEmpty() ? "https://" + updateHostName + folder + name : url;
    return manifestText(version, key, name, url, checksum);
}

// A controller whose update host is a local HTTPS server.
struct Fixture {
    UpdateHost server;
    AppHarness harness;

    Fixture() {
        // Nothing answers here: the agent poll must not reach a real agent.
        harness.config.agentBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:9"));
        harness.networkFactory = server.factory();
    }
    // The update row: "label / colour / button on|off", and " / progress" while it shows.
    QString row() {
        const MainWindow& window = *harness.delegate->window();
        const QPalette palette = window.updateLabel()->palette();
        const char* colour = "?";
        for (int c = 0; c < 4; ++c)
            if (statusQColor(StatusColor(c), palette) == palette.color(QPalette::WindowText))
                colour = std::array{"grey", "green", "orange", "red"}[c];
        return QStringList{window.updateLabel()->text(), colour, window.updateButton()->text(),
                           window.updateButton()->isEnabled() ? "on" : "off"}
                   .join(" / ") +
               (window.updateProgress()->isVisible() ? " / progress" : "");
    }
    bool waitForChecks(int n) {
        return QTest::qWaitFor(
            [&] { return harness.events().filter("update_check_end").size() >= n; });
    }
    QString destination() const { return QDir(harness.downloadsFolder()).filePath(imageName); }
    QStringList downloads() const {
        return QDir(harness.downloadsFolder())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    // Publishes 1.4.2 with this image and launches until the row offers it.
    bool launchWithImage(const TlsResponse& image, const QString& checksum = {}) {
        server.publish(harness.config, "1.4.2", imageName, image, checksum);
        harness.launch();
        return waitForChecks(1) && harness.delegate->state().availableUpdate.has_value();
    }
    // Presses the update button and waits until the download is over; returns the row it
    // showed meanwhile.
    QString download() {
        harness.delegate->window()->updateButton()->click();
        const QString during = row();
        return QTest::qWaitFor([&] { return row().endsWith(" on"); }, 15000) ? during : "timeout";
    }
};

} // namespace

class TestUpdate : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // As the application does at start, whatever the locale.
        QVERIFY(installRussianQtTranslations(*QCoreApplication::instance(), {}));
    }

    // The system's texts as the C library and Qt word them, in Russian; those a failed download
    // shows are rows of its own table.
    void systemMessages() {
        const std::pair<int, QString> reasons[] = {
            {EROFS, "Файловая система доступна только для чтения"},
            {EACCES, "Отказано в доступе"},
            {ENOSPC, "Нет свободного места на устройстве"},
        };
        for (const auto& [number, russian] : reasons)
            QCOMPARE(russianSystemMessage("open: " + QString::fromLocal8Bit(std::strerror(number))),
                     russian);
        QCOMPARE(russianSystemMessage("Сервер недоступен"), "Сервер недоступен");
    }

    void selection_data() {
        // "mac", or the Linux processor: x86_64, arm64.
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QString>("running");
        QTest::addColumn<QByteArray>("manifest");
        // "update", "none" or the error's message.
        QTest::addColumn<QString>("expected");
        const QString badBuild = updateMessages::badBuild;
        const QString mac = "macos-arm64";
        const QString url = "https://" + updateHostName + folder + nameOf("1.4.2", mac);
        const auto row = [](const QString& name, const char* running, const QByteArray& manifest,
                            const QString& expected, const QString& platform = "mac") {
            QTest::newRow(qPrintable(name)) << platform << QString(running) << manifest << expected;
        };
        const auto at = [&](const QString& url) { return manifest("1.4.2", sha, url, {}, mac); };
        const auto publishing = [&](const char* version) {
            return manifest(version, sha, {}, {}, mac);
        };
        // The Linux channel: its own keys, package names and platform names.
        const QByteArray amd64 = manifest("1.4.2", sha, {}, {}, "linux-amd64");
        row("Linux x86-64 package", "1.0.0", amd64, "update", "x86_64");
        row("Linux ARM64 package", "1.0.0", manifest("1.4.2", sha, {}, {}, "linux-arm64"), "update",
            "arm64");
        row("Linux ARM64 with only x86-64", "1.0.0", amd64,
            updateMessages::missingBuild("Linux ARM64"), "arm64");
        row("Linux with only the macOS image", "1.0.0", at(url),
            updateMessages::missingBuild("Linux x86-64"), "x86_64");
        row("macOS with only the Linux package", "1.0.0", amd64,
            updateMessages::missingBuild("Mac с процессором M"));
        row("1.2 against 1.2.0", "1.2", publishing("1.2.0"), "none");
        row("1.9 against 1.10", "1.9", publishing("1.10"), "update");
        row("1.4.02 names its file as published", "1.0", publishing("1.4.02"), "update");
        row("older, empty builds", "2.0", R"({"version": "1.4.2", "builds": {}})", "none");
        for (const char* version :
             {"2", "1.2.3.4.5", "1..2", "1.2-beta", "v1.4.2", "1.4.2 ", "1.9223372036854775808"})
            row(QStringLiteral("published \"%1\"").arg(version), "1.0", publishing(version),
                updateMessages::badVersion);
        // QUrl would read these as the right address; the text as published is not.
        const QString host = updateHostName;
        for (const QString& address :
             {QString(url).replace("https", "HTTPS"), QString(url).replace(host, host.toUpper()),
              QString(url).replace(host, host + ":"), QString(url).replace(host, host + ":443"),
              QString(url).replace(host, "me@" + host), url + "?a=1", url + "#x",
              "https://" + host + folder + nameOf("1.4.1", mac)})
            row("address " + address, "1.0", at(address), badBuild);
        for (const QString& checksum : {sha.toUpper(), sha.left(63)})
            row("checksum " + checksum, "1.0", manifest("1.4.2", checksum, {}, {}, mac), badBuild);
    }

    void selection() {
        QFETCH(QString, platform);
        QFETCH(QString, running);
        QFETCH(QByteArray, manifest);
        QFETCH(QString, expected);
        const UpdatePlatform constants =
            platform == "mac" ? macUpdatePlatform() : linuxUpdatePlatform(platform);
        const UpdateOutcome outcome =
            judgeManifestBody(manifest, {.appVersion = running,
                                         .maximumBytes = 1 << 20,
                                         .constants = {updateHostName, constants}});
        const auto* error = std::get_if<UpdateError>(&outcome);
        const bool upToDate = std::holds_alternative<UpToDate>(outcome);
        QCOMPARE(error ? error->message : upToDate ? "none" : "update", expected);
    }

    void check_data() {
        QTest::addColumn<TlsResponse>("response");
        QTest::addColumn<QString>("row");
        const QString found = "Доступна новая версия 1.4.2 / orange / Скачать обновление / on";
        const QString failed = checkFailed + " / grey / Проверить снова / on";
        const QByteArray newer = manifest("1.4.2");
        const auto row = [](const char* name, const TlsResponse& response, const QString& row) {
            QTest::newRow(name) << response << row;
        };
        row("newer build", {.body = newer}, found);
        row("redirected", {.redirectTo = "/mirror.json"}, found);
        // Qt refuses a 404 itself; only our own check refuses this.
        row("201", {.status = 201, .body = newer}, failed);
        row("not JSON", {.body = "<html>"}, failed);
        row("exactly 131072 bytes", {.body = newer.leftJustified(131072)}, found);
        row("131073 bytes", {.body = newer.leftJustified(131073)}, failed);
        row("endless", {.endless = true}, failed);
        row("refused", {.status = refused}, failed);
    }

    void check() {
        QFETCH(TlsResponse, response);
        QFETCH(QString, row);
        Fixture f;
        f.server.setResponse(manifestPath, response);
        f.server.setResponse("/mirror.json", {.body = manifest("1.4.2")});
        if (response.status == refused)
            f.server.stop();
        f.harness.launch();
        QCOMPARE(f.row(), "Проверяем наличие обновления… / grey / Проверяем… / off");
        // Dropped while one runs.
        f.harness.delegate->checkForUpdate();
        f.harness.delegate->handleUpdateButton();
        QVERIFY(f.waitForChecks(1));
        const int http = response.redirectTo.isEmpty() ? response.status : 200;
        QCOMPARE(f.harness.events().filter("update_check_").join(", "),
                 "update_check_begin, update_check_end http=" + QString::number(http));
        QCOMPARE(f.row(), row);
        QCOMPARE(f.server.lastUserAgent(), response.status == refused ? "" : "Orvanta-Print/1.0.0");
        // An endless body is stopped near the limit, far below the server's own bound.
        QTRY_COMPARE_WITH_TIMEOUT(f.server.activeResponses(), 0, 15000);
        QVERIFY(f.server.bytesSent(manifestPath) < 32 * 1024 * 1024);
    }

    void downloadAndLaterChecks() {
        Fixture f;
        const qint64 size = 3 * Sha256::chunkBytes + 12345;
        const QByteArray image = patternBytes(0, size);
        // The image is exactly as large as allowed; the fresh home has no Downloads folder yet.
        f.harness.config.maximumUpdateBytes = size;
        QVERIFY(
            f.launchWithImage({.patternSize = size},
                              QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(f.download(), downloading);
        QCOMPARE(f.harness.desktop->revealed, QStringList{f.destination()});
        QCOMPARE(fileContents(f.destination()), image);
        QCOMPARE(f.row(),
                 "Версия 1.4.2 скачана — установите пакет. / green / Скачать ещё раз / on");
        // A failed check keeps the build found before.
        f.server.setResponse(manifestPath, {.status = 500, .body = "down"});
        f.harness.delegate->checkForUpdate();
        QVERIFY(f.waitForChecks(2));
        QCOMPARE(f.row(), checkFailed + " / grey / Скачать обновление / on");
        // Pressing again fetches the image anew and replaces the file in place.
        QVERIFY(QFile::resize(f.destination(), 5));
        // The label's colour stays as the check left it.
        QCOMPARE(f.download(), QString(downloading).replace("orange", "grey"));
        QCOMPARE(f.downloads(), QStringList{imageName});
        QCOMPARE(fileContents(f.destination()), image);
        // An up-to-date check forgets the build.
        f.server.setResponse(manifestPath, {.body = manifest("1.0.0")});
        f.harness.delegate->checkForUpdate();
        QVERIFY(f.waitForChecks(3));
        QVERIFY(!f.harness.delegate->state().availableUpdate);
        QCOMPARE(f.row(), "Установлена актуальная версия 1.0.0 / grey / Проверить обновления / on");
    }

    void downloadFails_data() {
        QTest::addColumn<TlsResponse>("image");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("obstacle");
        const auto row = [](const char* name, const TlsResponse& image, const QString& message,
                            Obstacle obstacle = none) {
            QTest::newRow(name) << image << message << int(obstacle);
        };
        const qint64 limit = 2 * Sha256::chunkBytes;
        row("404", {.status = 404, .body = "x"}, downloadFailed);
        row("empty body", {}, badSize);
        row("checksum mismatch", {.body = "x"}, "Контрольная сумма обновления не совпала.",
            wrongChecksum);
        // Refused as announced: the first half is within the limit, and the rest is never sent.
        row("one byte over, announced", {.patternSize = limit + 1, .holdHalfway = true}, badSize);
        row("no length, without end", {.endless = true}, badSize);
        // The system's reasons in Russian, Qt's own where it has them.
        row("refused", {.status = refused}, "Отказано в соединении");
        row("stalled", {.patternSize = limit, .holdHalfway = true}, updateMessages::timedOut);
        row("destination cannot be removed", {.body = "x"}, "Папка не пуста", folderInTheWay);
        row("a file in the Downloads folder's place", {.body = "x"}, "Не является папкой",
            fileAsDownloads);
        row("file size limit halfway", {.body = QByteArray(limit, 'x')}, "Файл слишком велик",
            fileSizeLimit);
    }

    void downloadFails() {
        QFETCH(TlsResponse, image);
        QFETCH(QString, message);
        QFETCH(int, obstacle);
        Fixture f;
        f.harness.config.maximumUpdateBytes = 2 * Sha256::chunkBytes;
        if (obstacle == folderInTheWay)
            QVERIFY(QDir().mkpath(f.destination() + "/inside"));
        const QByteArray old(100 * 1024, 'o');
        const QString kept = obstacle == fileAsDownloads ? f.harness.downloadsFolder()
                             : obstacle == fileSizeLimit ? f.destination()
                                                         : QString();
        QFile file(kept);
        QVERIFY(kept.isEmpty() || (QDir().mkpath(QFileInfo(kept).path()) &&
                                   file.open(QIODevice::WriteOnly) && file.write(old) > 0));
        file.close();
        // Past the limit a write fails (SIGXFSZ ignored, or it would end the process). One and a
        // half of the pieces the image is written in: one write is cut short before the next
        // one fails, as on a disk that fills up.
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const auto undo = qScopeGuard([&] { ::setrlimit(RLIMIT_FSIZE, &limit); });
        const rlimit room{rlim_t(3 * Sha256::chunkBytes / 2), limit.rlim_max};
        std::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(obstacle != fileSizeLimit || ::setrlimit(RLIMIT_FSIZE, &room) == 0);
        // An oversized image is rejected before its checksum matters.
        QVERIFY(f.launchWithImage(image, obstacle == wrongChecksum ? sha : QString()));
        if (image.status == refused)
            f.server.stop();
        QCOMPARE(f.download(), downloading);
        QCOMPARE(f.harness.presenter->alerts.size(), 1);
        QCOMPARE(f.harness.presenter->alerts[0].title + ": " +
                     f.harness.presenter->alerts[0].message,
                 "Обновление не скачано: " + message);
        QCOMPARE(f.row(), downloadFailed + " / red / Скачать обновление / on");
        // What was in the way is left as it was, and no partial file stays.
        QCOMPARE(f.downloads(), obstacle == folderInTheWay || obstacle == fileSizeLimit
                                    ? QStringList{imageName}
                                    : QStringList());
        QVERIFY(kept.isEmpty() || fileContents(kept) == old);
        QVERIFY(f.harness.desktop->revealed.isEmpty());
        // An oversized image is stopped early, not read to its end.
        f.server.release();
        QTRY_COMPARE_WITH_TIMEOUT(f.server.activeResponses(), 0, 15000);
        QVERIFY(f.server.bytesSent(imagePath) < 64 * Sha256::chunkBytes);
    }

    void oneDownloadAtATime() {
        Fixture f;
        QVERIFY(f.launchWithImage({.patternSize = 1 << 20, .holdHalfway = true}, sha));
        f.harness.delegate->window()->updateButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(f.server.bytesSent(imagePath), 1 << 19, 15000);
        f.harness.delegate->downloadAvailableUpdate();
        f.harness.delegate->handleUpdateButton();
        // A check that ends meanwhile leaves the row to the download.
        f.harness.delegate->checkForUpdate();
        QVERIFY(f.waitForChecks(2));
        QCOMPARE(f.row(), downloading);
        QCOMPARE(f.server.requestedPaths().count(imagePath), 1);
        // The partial file: a dot, the name, a fresh UUID.
        const QRegularExpression partial("^\\.KESTREL-.+\\.[-0-9a-f]{36}\\.part$");
        QCOMPARE(f.downloads().filter(partial).size(), 1);
        // Quitting midway leaves no partial file behind.
        f.harness.delegate->applicationWillTerminate();
        f.harness.delegate.reset();
        QCOMPARE(f.downloads(), QStringList());
    }
};

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
