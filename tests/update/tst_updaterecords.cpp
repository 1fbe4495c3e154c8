#include "update/DownloadSink.h"
#include "update/Sha256.h"
#include "update/UpdateManifest.h"
#include "update/UpdateSelection.h"
#include "update/Version.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <system_error>

using namespace kestrel;

namespace {

const QString host = QStringLiteral("updates.test.example");
const QString sha =
    QStringLiteral("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");

UpdateConstants constants() {
    return {.updateHost = host,
            .updateBuildKey = QStringLiteral("macos-arm64"),
            .updateFilenamePlatform = QStringLiteral("AppleSilicon"),
            .updatePlatformName = QStringLiteral("Mac с процессором M")};
}

QString imageName(const QString& version) {
    return QStringLiteral("KESTREL-Agent-%1-macOS-AppleSilicon.dmg").arg(version);
}

QString imageUrl(const QString& name) {
    return QStringLiteral("https://%1/downloads/print-agent/%2").arg(host, name);
}

QByteArray buildJson(const QString& name, const QString& url, const QString& checksum) {
    return QStringLiteral(R"({"filename": "%1", "url": "%2", "sha256": "%3"})")
        .arg(name, url, checksum)
        .toUtf8();
}

QByteArray manifestJson(const QString& version, const QByteArray& builds) {
    return QStringLiteral(R"({"version": "%1", "builds": %2})")
        .arg(version)
        .toUtf8()
        .replace("%2", builds);
}

// A manifest whose only build sits under our key.
QByteArray ourBuild(const QString& version, const QString& name, const QString& url,
                    const QString& checksum = sha) {
    return manifestJson(version, "{\"macos-arm64\": " + buildJson(name, url, checksum) + "}");
}

QByteArray goodManifest(const QString& version) {
    return ourBuild(version, imageName(version), imageUrl(imageName(version)));
}

const QString updateRow = QStringLiteral("update");
const QString noneRow = QStringLiteral("none");

} // namespace

class TestUpdateRecords : public QObject {
    Q_OBJECT

private slots:
    void versionParts_data();
    void versionParts();
    void decode_data();
    void decode();
    void selection_data();
    void selection();
    void sha256_data();
    void sha256();
    void sha256AcrossPieces();
    void sinkOutcome_data();
    void sinkOutcome();
};

void TestUpdateRecords::versionParts_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QList<qint64>>("parts");

    const auto ok = [](const char* name, const char* text, QList<qint64> parts) {
        QTest::newRow(name) << QString::fromUtf8(text) << true << parts;
    };
    const auto bad = [](const char* name, const QString& text) {
        QTest::newRow(name) << text << false << QList<qint64>{};
    };
    ok("two pieces padded", "1.2", {1, 2, 0, 0});
    ok("four pieces", "1.2.3.4", {1, 2, 3, 4});
    ok("leading zeros", "01.002.0003", {1, 2, 3, 0});
    ok("largest 64-bit piece", "1.9223372036854775807", {1, 9223372036854775807LL, 0, 0});
    bad("one piece", QStringLiteral("2"));
    bad("five pieces", QStringLiteral("1.2.3.4.5"));
    bad("empty piece", QStringLiteral("1..2"));
    bad("trailing dot", QStringLiteral("1.2."));
    bad("empty string", QString());
    bad("letters", QStringLiteral("1.2-beta"));
    bad("leading v", QStringLiteral("v1.2"));
    bad("trailing space", QStringLiteral("1.2 "));
    bad("trailing line feed", QStringLiteral("1.2\n"));
    bad("plus sign", QStringLiteral("+1.2"));
    bad("minus sign", QStringLiteral("1.-2"));
    bad("past the 64-bit limit", QStringLiteral("1.9223372036854775808"));
    bad("far past the 64-bit limit", QStringLiteral("1.99999999999999999999999"));
    bad("other script digits", QStringLiteral("1.\u0663"));
    bad("full-width digits", QStringLiteral("1.\uff12"));
}

void TestUpdateRecords::versionParts() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QList<qint64>, parts);

    const std::optional<VersionParts> result = kestrel::versionParts(text);
    QCOMPARE(result.has_value(), valid);
    if (valid)
        QCOMPARE(QList<qint64>(result->begin(), result->end()), parts);
}

void TestUpdateRecords::decode_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("decodes");

    const QByteArray ours = buildJson("a.dmg", "https://h/a.dmg", sha);
    QTest::newRow("complete") << manifestJson("1.4.2", "{\"macos-arm64\": " + ours + "}") << true;
    QTest::newRow("no builds at all") << manifestJson("1.4.2", "{}") << true;
    QTest::newRow("unknown members ignored")
        << QByteArray(R"({"version": "1", "builds": {}, "notes": [1, 2], "x": null})") << true;
    QTest::newRow("version missing") << QByteArray(R"({"builds": {}})") << false;
    QTest::newRow("version a number") << QByteArray(R"({"version": 1.4, "builds": {}})") << false;
    QTest::newRow("version null") << QByteArray(R"({"version": null, "builds": {}})") << false;
    QTest::newRow("builds missing") << QByteArray(R"({"version": "1.4.2"})") << false;
    QTest::newRow("builds an array") << manifestJson("1.4.2", "[" + ours + "]") << false;
    QTest::newRow("another platform incomplete")
        << manifestJson("1.4.2", "{\"macos-arm64\": " + ours +
                                     R"(, "macos-x64": {"filename": "b.dmg", "url": "u"}})")
        << false;
    QTest::newRow("another platform not an object")
        << manifestJson("1.4.2", "{\"macos-arm64\": " + ours + R"(, "macos-x64": "b.dmg"})")
        << false;
    QTest::newRow("checksum a number")
        << manifestJson("1.4.2", R"({"macos-arm64": {"filename": "a", "url": "u", "sha256": 1}})")
        << false;
    QTest::newRow("member names are exact")
        << manifestJson("1.4.2", R"({"macos-arm64": {"fileName": "a", "url": "u", "sha256": "s"}})")
        << false;
    QTest::newRow("top level an array") << QByteArray("[]") << false;
    QTest::newRow("not JSON") << QByteArray("<html></html>") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestUpdateRecords::decode() {
    QFETCH(QByteArray, body);
    QFETCH(bool, decodes);
    QCOMPARE(decodeUpdateManifest(body).has_value(), decodes);
}

void TestUpdateRecords::selection_data() {
    QTest::addColumn<QString>("appVersion");
    QTest::addColumn<QByteArray>("manifest");
    // "update", "none" or the error message.
    QTest::addColumn<QString>("expected");

    const QString badVersion = updateMessages::badVersion;
    const QString badBuild = updateMessages::badBuild;
    const QString missing = QStringLiteral("Сборка для Mac с процессором M пока не опубликована.");
    const QString name = imageName(QStringLiteral("1.4.2"));
    const QString path = QStringLiteral("/downloads/print-agent/") + name;
    const auto withUrl = [&](const QString& url) { return ourBuild("1.4.2", name, url); };

    QTest::newRow("accepted 1.4.2") << "1.0.0" << goodManifest("1.4.2") << updateRow;
    QTest::newRow("1.2 against 1.2.0") << "1.2" << goodManifest("1.2.0") << noneRow;
    QTest::newRow("1.2 against 1.2.0.0") << "1.2" << goodManifest("1.2.0.0") << noneRow;
    QTest::newRow("1.9 against 1.10 is numeric") << "1.9" << goodManifest("1.10") << updateRow;
    QTest::newRow("running newer") << "2.0" << goodManifest("1.4.2") << noneRow;
    QTest::newRow("older with empty builds") << "2.0" << manifestJson("1.4.2", "{}") << noneRow;
    QTest::newRow("not newer, builds not examined")
        << "1.4.2" << ourBuild("1.4.2", "x", "http://elsewhere/x", "XYZ") << noneRow;
    QTest::newRow("published one piece") << "1.0" << goodManifest("2") << badVersion;
    QTest::newRow("published five pieces") << "1.0" << goodManifest("1.2.3.4.5") << badVersion;
    QTest::newRow("published empty piece") << "1.0" << goodManifest("1..2") << badVersion;
    QTest::newRow("published letters") << "1.0" << goodManifest("1.2-beta") << badVersion;
    QTest::newRow("published leading v") << "1.0" << goodManifest("v1.4.2") << badVersion;
    QTest::newRow("published trailing space") << "1.0" << goodManifest("1.4.2 ") << badVersion;
    QTest::newRow("published past 64 bits")
        << "1.0" << goodManifest("1.9223372036854775808") << badVersion;
    QTest::newRow("running version broken") << "dev" << goodManifest("1.4.2") << badVersion;
    QTest::newRow("broken version before missing build")
        << "1.0" << manifestJson("x", "{}") << badVersion;
    QTest::newRow("newer with empty builds") << "1.0" << manifestJson("1.4.2", "{}") << missing;
    QTest::newRow("only another platform")
        << "1.0"
        << manifestJson("1.4.2", "{\"macos-x64\": " + buildJson(name, imageUrl(name), sha) + "}")
        << missing;
    QTest::newRow("1.4.02 names its file as published")
        << "1.0" << goodManifest("1.4.02") << updateRow;
    QTest::newRow("1.4.02 with the 1.4.2 file name")
        << "1.0" << ourBuild("1.4.02", name, imageUrl(name)) << badBuild;
    QTest::newRow("file name in other case")
        << "1.0" << ourBuild("1.4.2", name.toLower(), imageUrl(name.toLower())) << badBuild;
    QTest::newRow("not a URL") << "1.0" << withUrl("https://exa mple/%zz") << badBuild;
    QTest::newRow("relative URL") << "1.0" << withUrl(path) << badBuild;
    QTest::newRow("plain http") << "1.0" << withUrl("http://" + host + path) << badBuild;
    QTest::newRow("capital scheme") << "1.0" << withUrl("HTTPS://" + host + path) << badBuild;
    QTest::newRow("other host") << "1.0" << withUrl("https://evil.example" + path) << badBuild;
    QTest::newRow("host in capitals")
        << "1.0" << withUrl("https://" + host.toUpper() + path) << badBuild;
    QTest::newRow("port 443") << "1.0" << withUrl("https://" + host + ":443" + path) << badBuild;
    QTest::newRow("empty port") << "1.0" << withUrl("https://" + host + ":" + path) << badBuild;
    QTest::newRow("user") << "1.0" << withUrl("https://me@" + host + path) << badBuild;
    QTest::newRow("user and password")
        << "1.0" << withUrl("https://me:pw@" + host + path) << badBuild;
    QTest::newRow("query") << "1.0" << withUrl(imageUrl(name) + "?a=1") << badBuild;
    QTest::newRow("empty query") << "1.0" << withUrl(imageUrl(name) + "?") << badBuild;
    QTest::newRow("fragment") << "1.0" << withUrl(imageUrl(name) + "#x") << badBuild;
    QTest::newRow("empty fragment") << "1.0" << withUrl(imageUrl(name) + "#") << badBuild;
    QTest::newRow("other file name") << "1.0" << withUrl(imageUrl(imageName("1.4.1"))) << badBuild;
    QTest::newRow("deeper folder")
        << "1.0" << withUrl("https://" + host + "/downloads/print-agent/x/" + name) << badBuild;
    QTest::newRow("dot segments") << "1.0"
                                  << withUrl("https://" + host + "/downloads/x/../print-agent/" +
                                             name)
                                  << badBuild;
    QTest::newRow("percent-encoded letter decodes to the name")
        << "1.0" << withUrl(imageUrl(name).replace("KESTREL", "%4BESTREL")) << updateRow;
    QTest::newRow("upper-case checksum")
        << "1.0" << ourBuild("1.4.2", name, imageUrl(name), sha.toUpper()) << badBuild;
    QTest::newRow("63-character checksum")
        << "1.0" << ourBuild("1.4.2", name, imageUrl(name), sha.left(63)) << badBuild;
    QTest::newRow("65-character checksum")
        << "1.0" << ourBuild("1.4.2", name, imageUrl(name), sha + "0") << badBuild;
    QTest::newRow("checksum with line feed")
        << "1.0" << ourBuild("1.4.2", name, imageUrl(name), sha + "\\n") << badBuild;
    QTest::newRow("checksum not hexadecimal")
        << "1.0" << ourBuild("1.4.2", name, imageUrl(name), sha.left(63) + "g") << badBuild;
}

void TestUpdateRecords::selection() {
    QFETCH(QString, appVersion);
    QFETCH(QByteArray, manifest);
    QFETCH(QString, expected);

    const std::optional<UpdateManifest> decoded = decodeUpdateManifest(manifest);
    QVERIFY(decoded);
    const UpdateOutcome outcome = availableUpdate(*decoded, appVersion, constants());

    if (expected == updateRow) {
        const auto* update = std::get_if<AvailableUpdate>(&outcome);
        QVERIFY(update);
        const UpdateBuild& build = decoded->builds.value(QStringLiteral("macos-arm64"));
        QCOMPARE(update->version, decoded->version);
        QCOMPARE(update->filename, build.filename);
        QCOMPARE(update->sha256, build.sha256);
        QCOMPARE(update->url, QUrl(build.url));
    } else if (expected == noneRow) {
        QVERIFY(std::holds_alternative<UpToDate>(outcome));
    } else {
        const auto* error = std::get_if<UpdateError>(&outcome);
        QVERIFY(error);
        QCOMPARE(error->message, expected);
        QCOMPARE(error->domain, QStringLiteral("ru.orvanta.print.update"));
        QCOMPARE(error->code, 1);
    }
}

void TestUpdateRecords::sha256_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("digest");
    QTest::newRow("empty") << QByteArray()
                           << "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    QTest::newRow("abc") << QByteArray("abc")
                         << "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    QTest::newRow("million a")
        << QByteArray(1000000, 'a')
        << "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
}

void TestUpdateRecords::sha256() {
    QFETCH(QByteArray, input);
    QFETCH(QString, digest);
    Sha256 hash;
    hash.update(input);
    QCOMPARE(hash.finalHex(), digest);
    // Finishing starts a fresh digest.
    QCOMPARE(hash.finalHex(),
             QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
}

void TestUpdateRecords::sha256AcrossPieces() {
    QByteArray data(3 * Sha256::chunkBytes + 5, Qt::Uninitialized);
    for (qsizetype i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 131) >> 3);
    const QString reference =
        QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());

    Sha256 whole;
    whole.update(data);
    QCOMPARE(whole.finalHex(), reference);

    Sha256 pieces;
    const QByteArrayView view(data);
    const qsizetype cut1 = Sha256::chunkBytes - 1;
    const qsizetype cut2 = 2 * Sha256::chunkBytes + 7;
    pieces.update(view.first(cut1));
    pieces.update(view.sliced(cut1, cut2 - cut1));
    pieces.update(view.sliced(cut2));
    QCOMPARE(pieces.finalHex(), reference);
}

void TestUpdateRecords::sinkOutcome_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("rightChecksum");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<bool>("folderBlocked");
    // Empty for success.
    QTest::addColumn<QString>("message");

    const QString notADirectory =
        QString::fromStdString(std::make_error_code(std::errc::not_a_directory).message());
    QTest::newRow("missing folders created")
        << QByteArray("abc") << true << qint64(3) << false << QString();
    QTest::newRow("empty") << QByteArray() << true << qint64(3) << false << updateMessages::badSize;
    QTest::newRow("over the limit")
        << QByteArray("abc") << true << qint64(2) << false << updateMessages::badSize;
    QTest::newRow("checksum differs")
        << QByteArray("abc") << false << qint64(3) << false << updateMessages::checksumMismatch;
    QTest::newRow("checksum reported before a folder failure")
        << QByteArray("abc") << false << qint64(3) << true << updateMessages::checksumMismatch;
    QTest::newRow("folder cannot be made")
        << QByteArray("abc") << true << qint64(3) << true << notADirectory;
}

void TestUpdateRecords::sinkOutcome() {
    QFETCH(QByteArray, data);
    QFETCH(bool, rightChecksum);
    QFETCH(qint64, limit);
    QFETCH(bool, folderBlocked);
    QFETCH(QString, message);

    QTemporaryDir home;
    QString folder = home.filePath(QStringLiteral("a/b/Downloads"));
    if (folderBlocked) {
        QFile blocker(home.filePath(QStringLiteral("file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        folder = blocker.fileName() + QStringLiteral("/Downloads");
    }
    Sha256 hash;
    hash.update(rightChecksum ? data : data + "!");
    DownloadSink sink({.folder = folder,
                       .filename = QStringLiteral("image.dmg"),
                       .sha256 = hash.finalHex(),
                       .maximumBytes = limit});
    sink.consume(data.left(1));
    sink.consume(data.mid(1));
    const DownloadResult result = sink.finish();

    QVERIFY(!QFile::exists(sink.partialPath()));
    if (message.isEmpty()) {
        QCOMPARE(std::get<QString>(result), QDir(folder).filePath(QStringLiteral("image.dmg")));
        QFile placed(std::get<QString>(result));
        QVERIFY(placed.open(QIODevice::ReadOnly));
        QCOMPARE(placed.readAll(), data);
    } else {
        QCOMPARE(std::get<UpdateError>(result).message, message);
        QVERIFY(!QFile::exists(QDir(folder).filePath(QStringLiteral("image.dmg"))));
    }
}

QTEST_GUILESS_MAIN(TestUpdateRecords)
#include "tst_updaterecords.moc"
