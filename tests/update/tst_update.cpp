#include "app/ApplicationSetup.h"
#include "platform/SystemText.h"
#include "support/AppHarness.h"
#include "support/Files.h"
#include "support/UpdateHost.h"
#include "ui/MainWindow.h"
#include "ui/StatusColor.h"
#include "update/ManifestCheck.h"
#include "update/Sha256.h"
#include "update/UpdateNetwork.h"

#include <QProgressBar>
#include <QScopeGuard>
#include <QTest>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString folder = QStringLiteral("/downloads/print-agent/");
const QString manifestPath = folder + QStringLiteral("latest-linux.json");
const QString sha(64, u'a');
const QString downloadFailed = QStringLiteral("Не удалось скачать обновление.");
const QString badSize = QStringLiteral("Файл обновления имеет недопустимый размер.");
QString nameOf(const QString& version, const QString& key = thisUpdatePlatform().buildKey) {
    const QString mac = QStringLiteral("KESTREL-Agent-%1-macOS-AppleSilicon.dmg");
    return (key == "macos-arm64" ? mac : "KESTREL-Agent-%1-" + key + ".deb").arg(version);
}
const QString imageName = nameOf("1.4.2");
const QString downloading =
    "Скачиваем " + imageName + "… / orange / Скачать обновление / off / progress";
const QString checkFailed = QStringLiteral("Не удалось проверить обновление — повторим позже.");
// Stands for a server that refuses connections.
constexpr int refused = 0;

// A manifest publishing `version` with one build under `key`.
QByteArray manifest(const QString& version, const QString& key = thisUpdatePlatform().buildKey,
                    const QString& checksum = sha) {
    const QString name = nameOf(version, key);
    return manifestText(version, key, name, "https://" + updateHostName + folder + name, checksum);
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
    // The update row: "label / colour / button / on|off", and " / progress" while it shows.
    QString row() {
        const MainWindow& w = *harness.delegate->window();
        const QPalette palette = w.updateLabel()->palette();
        QString colour = "?";
        for (int c = 0; c < 4; ++c)
            if (statusQColor(StatusColor(c), palette) == palette.color(QPalette::WindowText))
                colour = std::array{"grey", "green", "orange", "red"}[c];
        return w.updateLabel()->text() + " / " + colour + " / " + w.updateButton()->text() +
               (w.updateButton()->isEnabled() ? " / on" : " / off") +
               (w.updateProgress()->isVisible() ? " / progress" : "");
    }
    // Waits until `n` checks have ended, after starting one if asked.
    bool waitForChecks(int n, bool start = false) {
        if (start)
            harness.delegate->checkForUpdate();
        return QTest::qWaitFor(
            [&] { return harness.events().filter("update_check_end").size() >= n; });
    }
    QString destination() const { return QDir(harness.downloadsFolder()).filePath(imageName); }
    QStringList downloads() const {
        return QDir(harness.downloadsFolder())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    // Publishes 1.4.2 with this image and launches until the row offers it.
    bool launchWithImage(const FakeReply& image, const QString& checksum = {}) {
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

    // The checksum routine on fixed vectors; the system's reasons a user meets, in Russian
    // whatever the locale; and what a manifest offers a running version: an update, none ("")
    // or the error's message.
    void checksumMessagesAndSelection() {
        Sha256 h;
        QCOMPARE(h.finalHex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        h.update("abc");
        QCOMPARE(h.finalHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        for (const auto& [number, russian] :
             {std::pair{EROFS, "Файловая система доступна только для чтения"},
              {EACCES, "Отказано в доступе"},
              {ENOSPC, "Нет свободного места на устройстве"},
              {ENOTDIR, "Не является папкой"},
              {ENOTEMPTY, "Папка не пуста"}})
            QCOMPARE(russianSystemMessage("open: " + QString::fromLocal8Bit(std::strerror(number))),
                     russian);
        QCOMPARE(russianSystemMessage("Сервер недоступен"), "Сервер недоступен");
        const QString mac = "macos-arm64";
        const auto expect = [](const char* running, const QByteArray& manifest,
                               const QString& expected,
                               const UpdatePlatform& platform = macUpdatePlatform()) {
            const UpdateOutcome outcome =
                judgeManifestBody(manifest, {QUrl(), running, 1 << 20, {updateHostName, platform}});
            const auto* error = std::get_if<UpdateError>(&outcome);
            const QString got = error                                       ? error->message
                                : std::holds_alternative<UpToDate>(outcome) ? ""
                                                                            : "update";
            QVERIFY2(got == expected, qPrintable(running + (" " + manifest) + ": " + got));
        };
        const QString url = "https://" + updateHostName + folder + nameOf("1.4.2", mac);
        const QByteArray amd64 = manifest("1.4.2", "linux-amd64");
        expect("1.0.0", amd64, "update", linuxUpdatePlatform("x86_64"));
        expect("1.0.0", amd64, updateMessages::missingBuild("Linux ARM64"),
               linuxUpdatePlatform("arm64"));
        expect("1.0.0", manifest("1.4.2", "linux-arm64"), "update", linuxUpdatePlatform("arm64"));
        expect("1.0.0", manifest("1.4.2", mac), updateMessages::missingBuild("Linux x86-64"),
               linuxUpdatePlatform("x86_64"));
        // A Linux key naming the disk image.
        expect("1.0.0", manifestText("1.4.2", "linux-amd64", nameOf("1.4.2", mac), url, sha),
               updateMessages::badBuild, linuxUpdatePlatform("x86_64"));
        expect("1.0", manifest("1.4.2", "macos-x64"),
               updateMessages::missingBuild("Mac с процессором M"));
        expect("2.0", R"({"version": "1.4.2", "builds": {}})", "");
        expect("1.2", manifest("1.2.0", mac), "");
        expect("1.2", manifest("1.2.0.0", mac), "");
        expect("1.2", manifest("01.002.0", mac), "");
        expect("1.9", manifest("1.10", mac), "update");
        expect("1.0", manifest("1.4.02", mac), "update"); // its file named as published
        for (const char* version :
             {"2", "1.2.3.4.5", "1..2", "1.2-beta", "v1.4.2", "1.4.2 ", "1.9223372036854775808"})
            expect("1.0", manifest(version, mac), updateMessages::badVersion);
        // QUrl would read these as the right address; the text as published is not.
        const QString host = updateHostName;
        for (const QString& address :
             {QString(url).replace("https", "HTTPS"), QString(url).replace(host, host.toUpper()),
              QString(url).replace(host, host + ":"), QString(url).replace(host, host + ":443"),
              QString(url).replace(host, "me@" + host), url + "?a=1", url + "#x",
              "https://" + host + folder + nameOf("1.4.1", mac)})
            expect("1.0", manifestText("1.4.2", mac, nameOf("1.4.2", mac), address, sha),
                   updateMessages::badBuild);
        for (const QString& checksum : {sha.toUpper(), sha.left(63)})
            expect("1.0", manifest("1.4.2", mac, checksum), updateMessages::badBuild);
    }

    // What the row shows after each reply to the manifest request.
    void check() {
        const QString found = "Доступна новая версия 1.4.2 / orange / Скачать обновление / on";
        const QString failed = checkFailed + " / grey / Проверить снова / on";
        const QByteArray newer = manifest("1.4.2");
        for (const auto& [response, row] : std::initializer_list<std::pair<FakeReply, QString>>{
                 {{.body = newer}, found},
                 {{.status = 302, .headers = {{"Location", "/mirror.json"}}}, found},
                 // Qt refuses a 404 itself; only our own check refuses this.
                 {{.status = 201, .body = newer}, failed},
                 {{.status = 404, .body = "missing"}, failed},
                 {{}, failed}, // no body
                 {{.body = "<html>"}, failed},
                 {{.body = newer.leftJustified(131072)}, found},
                 {{.body = newer.leftJustified(131073)}, failed},
                 {{.endless = true}, failed},
                 {{.status = refused}, failed}}) {
            Fixture f;
            f.server.setReply(manifestPath, response);
            f.server.setReply("/mirror.json", {.body = newer});
            if (response.status == refused)
                f.server.stop();
            f.harness.launch();
            QCOMPARE(f.row(), "Проверяем наличие обновления… / grey / Проверяем… / off");
            // A check while one runs writes nothing.
            const QStringList before = f.harness.logLines();
            f.harness.delegate->checkForUpdate();
            f.harness.delegate->handleUpdateButton();
            QCOMPARE(f.harness.logLines(), before);
            QVERIFY(f.waitForChecks(1));
            const int http = response.status == 302 ? 200 : response.status;
            QCOMPARE(f.harness.events().filter("update_check_").join(", "),
                     "update_check_begin, update_check_end http=" + QString::number(http));
            QCOMPARE(f.row(), row);
            QCOMPARE(f.server.requests().value(0).header("User-Agent"),
                     response.status == refused ? "" : "Orvanta-Print/1.0.0");
            // An endless body is stopped near the limit, far below the server's own bound.
            QTRY_COMPARE_WITH_TIMEOUT(f.server.activeReplies(), 0, 15000);
            QCOMPARE_LT(f.server.bytesSent(manifestPath), stoppedReaderBytes);
        }
    }

    void downloadAndLaterChecks() {
        Fixture f;
        const qint64 size = 3 * Sha256::chunkBytes + 12345;
        const QByteArray image = patternBytes(0, size);
        // The image is exactly as large as allowed; the fresh home has no Downloads folder yet.
        f.harness.config.maximumUpdateBytes = size;
        QVERIFY(f.launchWithImage({.body = image}));
        QCOMPARE(f.download(), downloading);
        QCOMPARE(f.harness.desktop->revealed, QStringList{f.destination()});
        QCOMPARE(fileContents(f.destination()), image);
        QCOMPARE(f.row(),
                 "Версия 1.4.2 скачана — установите пакет. / green / Скачать ещё раз / on");
        // A failed check keeps the build found before.
        f.server.setReply(manifestPath, {.status = 500, .body = "down"});
        QVERIFY(f.waitForChecks(2, true));
        QCOMPARE(f.row(), checkFailed + " / grey / Скачать обновление / on");
        // Pressing again fetches the image anew and replaces the file in place; the label's
        // colour stays as the check left it.
        QVERIFY(QFile::resize(f.destination(), 5));
        QCOMPARE(f.download(), QString(downloading).replace("orange", "grey"));
        QCOMPARE(f.downloads(), QStringList{imageName});
        QCOMPARE(fileContents(f.destination()), image);
        // An up-to-date check forgets the build.
        f.server.setReply(manifestPath, {.body = manifest("1.0.0")});
        QVERIFY(f.waitForChecks(3, true) && !f.harness.delegate->state().availableUpdate);
        QCOMPARE(f.row(), "Установлена актуальная версия 1.0.0 / grey / Проверить обновления / on");
    }

    void downloadFails() {
        const qint64 limit = 2 * Sha256::chunkBytes;
        // Past the limit a write fails (SIGXFSZ ignored, or it would end the process).
        std::signal(SIGXFSZ, SIG_IGN);
        using Row = std::tuple<QByteArray, FakeReply, QString>;
        for (const auto& [tag, image, message] : std::initializer_list<Row>{
                 {"404", {.status = 404, .body = "x"}, downloadFailed},
                 {"500", {.status = 500, .body = "x"}, downloadFailed},
                 {"empty body", {}, badSize},
                 // Published with the checksum of an empty body, as are the rows below.
                 {"checksum", {.patternSize = 5}, "Контрольная сумма обновления не совпала."},
                 // Refused as announced: the first half is within the limit, and the rest is
                 // never sent.
                 {"one over", {.patternSize = limit + 1, .holdHalfway = true}, badSize},
                 {"no length, no end", {.endless = true}, badSize},
                 // The system's reasons in Russian, Qt's own where it has them.
                 {"refused", {.status = refused}, "Отказано в соединении"},
                 {"stalled", {.patternSize = limit, .holdHalfway = true}, updateMessages::timedOut},
                 // An older image is there, and the disk fills up halfway through the new one.
                 {"disk full", {.body = QByteArray(limit, 'x')}, "Файл слишком велик"},
                 // A folder holding something where the image goes is never emptied.
                 {"folder in the way", {.body = "x"}, "Папка не пуста"}}) {
            Fixture f;
            f.harness.config.maximumUpdateBytes = limit;
            const bool diskFull = tag == "disk full";
            // What is there before: an older image, or a folder holding a file.
            const QString kept = f.destination() + (diskFull ? "" : "/keep");
            const bool keeps = diskFull || tag == "folder in the way";
            const QByteArray old(100 * 1024, 'o');
            QVERIFY(!keeps || fileContents(writeFile(kept, old)) == old);
            // One and a half of the pieces the image is written in: one write is cut short
            // before the next one fails.
            rlimit fsize{};
            ::getrlimit(RLIMIT_FSIZE, &fsize);
            const auto undo = qScopeGuard([&] { ::setrlimit(RLIMIT_FSIZE, &fsize); });
            const rlimit room{rlim_t(3 * Sha256::chunkBytes / 2), fsize.rlim_max};
            QVERIFY(!diskFull || ::setrlimit(RLIMIT_FSIZE, &room) == 0);
            QVERIFY2(f.launchWithImage(image), tag.constData());
            if (image.status == refused)
                f.server.stop();
            QCOMPARE(f.download(), downloading);
            QCOMPARE(f.harness.presenter->alerts, QStringList{"Обновление не скачано: " + message});
            QCOMPARE(f.row(), downloadFailed + " / red / Скачать обновление / on");
            // The older image is left as it was, and no partial file stays.
            QCOMPARE(f.downloads(), keeps ? QStringList{imageName} : QStringList());
            QCOMPARE(fileContents(kept), keeps ? old : QByteArray());
            QVERIFY(f.harness.desktop->revealed.isEmpty());
            // An oversized image is stopped early, not read to its end.
            f.server.release();
            QTRY_COMPARE_WITH_TIMEOUT(f.server.activeReplies(), 0, 15000);
            QCOMPARE_LT(f.server.bytesSent(folder + imageName), stoppedReaderBytes);
        }
    }

    void oneDownloadAtATime() {
        Fixture f;
        QVERIFY(f.launchWithImage({.patternSize = 1 << 20, .holdHalfway = true}, sha));
        f.harness.delegate->window()->updateButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(f.server.bytesSent(folder + imageName), 1 << 19, 15000);
        f.harness.delegate->downloadAvailableUpdate();
        f.harness.delegate->handleUpdateButton();
        // A check that fails meanwhile leaves the row to the download and keeps the build.
        f.server.setReply(manifestPath, {.status = 500, .body = "down"});
        QVERIFY(f.waitForChecks(2, true));
        QCOMPARE(f.row(), downloading);
        QVERIFY(f.harness.delegate->state().availableUpdate);
        QCOMPARE(f.server.requestCount(folder + imageName), 1);
        QCOMPARE(f.downloads().size(), 1);
        // Quitting midway leaves no partial file behind.
        f.harness.delegate->applicationWillTerminate();
        f.harness.delegate.reset();
        QCOMPARE(f.downloads(), QStringList());
    }
};

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
