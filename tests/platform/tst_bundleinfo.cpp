#include "platform/BundleInfo.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrel;

namespace {

QByteArray plist(const QByteArray& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><dict>" +
           body + "</dict></plist>\n";
}

} // namespace

class TestBundleInfo : public QObject {
    Q_OBJECT

private slots:
    void versionFromInfoPlist_data() {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("version");
        QTest::newRow("string")
            << plist("<key>CFBundleName</key><string>x</string>"
                     "<key>CFBundleShortVersionString</key><string>1.4.2</string>")
            << "1.4.2";
        QTest::newRow("after an array")
            << plist("<key>CFBundleURLTypes</key><array><dict><key>CFBundleShortVersionString</key>"
                     "<string>9.9</string></dict></array>"
                     "<key>CFBundleShortVersionString</key><string>2.0</string>")
            << "2.0";
        QTest::newRow("empty string")
            << plist("<key>CFBundleShortVersionString</key><string></string>") << "";
        QTest::newRow("absent") << plist("<key>CFBundleVersion</key><string>7</string>")
                                << QString();
        QTest::newRow("integer") << plist(
                                        "<key>CFBundleShortVersionString</key><integer>2</integer>")
                                 << QString();
        QTest::newRow("boolean") << plist("<key>CFBundleShortVersionString</key><true/>")
                                 << QString();
        QTest::newRow("only nested")
            << plist("<key>Other</key><dict><key>CFBundleShortVersionString</key>"
                     "<string>3.0</string></dict>")
            << QString();
        QTest::newRow("not a plist")
            << QByteArray("{\"CFBundleShortVersionString\":\"1.0\"}") << QString();
        QTest::newRow("broken xml")
            << QByteArray("<plist><dict><key>CFBundleShortVersionString</key>"
                          "<string>1.0")
            << QString();
    }
    void versionFromInfoPlist() {
        QFETCH(QByteArray, document);
        QFETCH(QString, version);
        const std::optional<QString> parsed = shortVersionFromInfoPlist(document);
        QCOMPARE(parsed.has_value(), !version.isNull());
        if (parsed)
            QCOMPARE(*parsed, version);
    }

    void bundleVersionFallsBack() {
        QTemporaryDir bundle;
        QCOMPARE(bundleVersion(bundle.path()), QStringLiteral("0.5.5"));
        QVERIFY(QDir(bundle.path()).mkpath(QStringLiteral("Contents")));
        QFile file(bundle.filePath(QStringLiteral("Contents/Info.plist")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(plist("<key>CFBundleShortVersionString</key><integer>3</integer>"));
        file.close();
        QCOMPARE(bundleVersion(bundle.path()), QStringLiteral("0.5.5"));
    }

    void bundlePathAroundExecutable_data() {
        QTest::addColumn<QString>("executableDir");
        QTest::addColumn<QString>("bundle");
        QTest::newRow("bundle") << "/opt/k/KestrelAgent.app/Contents/MacOS"
                                << "/opt/k/KestrelAgent.app";
        QTest::newRow("trailing slash") << "/opt/My Apps/K.app/Contents/MacOS/"
                                        << "/opt/My Apps/K.app";
        QTest::newRow("not a bundle") << "/usr/bin"
                                      << "/usr/bin";
    }
    void bundlePathAroundExecutable() {
        QFETCH(QString, executableDir);
        QFETCH(QString, bundle);
        QCOMPARE(bundlePathForExecutableDir(executableDir), bundle);
    }
};

QTEST_GUILESS_MAIN(TestBundleInfo)
#include "tst_bundleinfo.moc"
