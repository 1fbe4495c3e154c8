#include "platform/BundleInfo.h"
#include "support/AppHarness.h"
#include "support/Files.h"
#include "support/UpdateHost.h"

#include <QDirIterator>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// The Debian package as it is released. The tools write their complaints to
// the test's output.
class TestPackagingInstall : public QObject {
    Q_OBJECT

private slots:
    // A release is the package CPack makes plus a manifest line: an older
    // version finds it on the update host, downloads and checks it through
    // the real update path, and what arrives unpacks into this build.
    void releasedPackageArrivesThroughTheUpdateCheckAndUnpacks() {
        QTemporaryDir output;
        QCOMPARE(QProcess::execute(KESTREL_CPACK,
                                   {"-G", "DEB", "--config", KESTREL_BUILD_DIR "/CPackConfig.cmake",
                                    "-B", output.path()}),
                 0);
        const QString name = KESTREL_PACKAGE_FILE_NAME;
        const QByteArray package = kestrel::test::fileContents(output.filePath(name));
        QVERIFY2(!package.isEmpty(), qPrintable(name));

        kestrel::test::UpdateHost server;
        kestrel::test::AppHarness harness;
        harness.writeInfoPlist("0.9");
        harness.config.agentBaseUrl = QUrl("http://127.0.0.1:9"); // no agent answers
        server.publish(harness.config, KESTREL_PROJECT_VERSION, name, {.body = package});
        harness.networkFactory = server.factory();
        kestrel::AppDelegate& app = harness.launch();
        QTRY_VERIFY_WITH_TIMEOUT(app.state().availableUpdate.has_value(), 15000);
        app.downloadAvailableUpdate();
        const QString downloaded = QDir(harness.downloadsFolder()).filePath(name);
        QTRY_COMPARE_WITH_TIMEOUT(harness.desktop->revealed, QStringList{downloaded}, 30000);

        QTemporaryDir root;
        QCOMPARE(QProcess::execute("dpkg-deb", {"-x", downloaded, root.path()}), 0);
        QCOMPARE(QProcess::execute("dpkg-deb", {"-e", downloaded, output.filePath("control")}), 0);
        const QString control =
            "\n" + kestrel::test::fileContents(output.filePath("control/control"));
        QVERIFY2(control.contains("\nPackage: kestrel-agent\n") &&
                     control.contains("\nVersion: " KESTREL_PROJECT_VERSION "\n") &&
                     control.contains(QRegularExpression("\nDepends: .*qt6-translations-l10n")),
                 qPrintable(control));
        // Nothing missing, nothing of the build (tests, tools) slipping in, each
        // theme icon of the size its folder promises, and the whole read as a
        // software centre reads it: the component, its desktop entry and its icon.
        // The application finds its bundle, and with it the agent and its
        // version, from its resolved executable path: a link that is absolute, or
        // a copy, would not resolve into this root's bundle. The desktop entry
        // starts that launcher with the link.
        const QString at = root.path();
        const QString bundle = "usr/lib/kestrel-agent/KestrelAgent.app";
        QStringList expected = {"usr/bin/kestrel-agent",
                                "usr/share/applications/kestrel-agent.desktop",
                                "usr/share/metainfo/ru.orvanta.print.metainfo.xml",
                                "usr/share/icons/hicolor/scalable/apps/kestrel-agent.svg",
                                bundle + "/Contents/Info.plist",
                                bundle + "/Contents/MacOS/KestrelAgent"};
        if (KESTREL_BUILT_AGENT)
            expected.append(bundle + "/Contents/Resources/PrintService/orvanta-print-agent");
        for (const QString& size : QString(KESTREL_THEME_ICON_SIZES).split(u',')) {
            expected.append("usr/share/icons/hicolor/" + size + 'x' + size +
                            "/apps/kestrel-agent.png");
            QCOMPARE(QImage(QDir(at).filePath(expected.last())).width(), size.toInt());
        }
        QStringList installed;
        QDirIterator it(at, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            installed.append(QDir(at).relativeFilePath(it.next()));
        expected.sort();
        installed.sort();
        QCOMPARE(installed, expected);
        QCOMPARE(QProcess::execute(KESTREL_APPSTREAMCLI, {"validate-tree", "--no-net", at}), 0);

        const QFileInfo executable(QFileInfo(at + "/usr/bin/kestrel-agent").canonicalFilePath());
        QVERIFY(executable.isExecutable());
        const QString found = kestrel::bundlePathForExecutableDir(executable.absolutePath());
        QCOMPARE(found, QFileInfo(at + '/' + bundle).canonicalFilePath());
        QCOMPARE(kestrel::bundleVersion(found), QString(KESTREL_PROJECT_VERSION));
        const QByteArray entry =
            kestrel::test::fileContents(at + "/usr/share/applications/kestrel-agent.desktop");
        QVERIFY(entry.contains("\nExec=kestrel-agent %u\n"));
        QVERIFY(entry.contains("\nMimeType=x-scheme-handler/kestrel;\n"));
    }
};

QTEST_MAIN(TestPackagingInstall)
#include "tst_packaging_install.moc"
