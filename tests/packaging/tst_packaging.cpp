#include "platform/BundleInfo.h"
#include "support/AppHarness.h"
#include "support/UpdateHost.h"
#include "ui/Icons.h"
#include "ui/StatusColor.h"

#include <QAccessible>
#include <QDirIterator>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <cmath>

using namespace kestrel;
using namespace kestrel::test;

// Contrast of two colours, sRGB's curve taken as a plain 2.2 power.
static double contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        return 0.2126 * std::pow(c.redF(), 2.2) + 0.7152 * std::pow(c.greenF(), 2.2) +
               0.0722 * std::pow(c.blueF(), 2.2) + 0.05;
    };
    return std::max(luminance(a), luminance(b)) / std::min(luminance(a), luminance(b));
}

// The bundle's metadata, the window's accessible names, the tray glyph and, where the build
// makes one, the Debian package as it is released (the tools write their complaints to the
// test's output).
class TestPackaging : public QObject {
    Q_OBJECT

private slots:
    // The Info.plist the build writes into the bundle, each key beside its
    // value: LSUIElement as the string "true" would be ignored.
    void infoPlistDeclares() {
        const QString plist = QString::fromUtf8(fileContents(KESTREL_BUNDLE "/Contents/Info.plist"))
                                  .replace(QRegularExpression(">\\s+<"), "><");
        const QString id =
            QRegularExpression("<id>(.+)</id>").match(fileContents(KESTREL_METAINFO)).captured(1);
        for (const QString& entry :
             {"CFBundleIdentifier</key><string>" + id + '<', // as AppStream's
              QString("CFBundleShortVersionString</key><string>" KESTREL_VERSION "<"),
              QString("CFBundleExecutable</key><string>" KESTREL_EXECUTABLE "<"),
              QString("CFBundleIconFile</key><string>KestrelAgent.icns<"),
              QString("CFBundleURLSchemes</key><array><string>kestrel<"),
              QString("LSUIElement</key><true/>"), // menu bar only
              QString("LSMinimumSystemVersion</key><string>13.0<")})
            QVERIFY2(plist.contains("<key>" + entry), qPrintable(entry + " in " + plist));
    }

    void everyControlIsNamedAndButtonsByTheirCurrentText() {
        const auto name = [](QWidget* widget) {
            return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
        };
        MainWindow window("1.0.0", "Mac с процессором M", nullptr);
        for (QWidget* widget : window.findChildren<QWidget*>())
            if (widget->inherits("QAbstractButton") || widget->inherits("QLabel") ||
                widget->inherits("QAbstractItemView") || widget->inherits("QProgressBar"))
                QVERIFY2(!name(widget).trimmed().isEmpty(), widget->metaObject()->className());
        // The coloured dot says in words what its colour means.
        QCOMPARE(name(window.statusDot()), window.statusTitle()->text());
        // The controller retitles these; a name fixed at construction would go stale.
        for (QPushButton* button :
             {window.signingButton(), window.updateButton(), window.refreshButton()}) {
            button->setText("Обновляем…");
            QCOMPARE(name(button), button->text());
        }
    }

    // At the sizes trays use, every status colour keeps a border's worth of
    // pixels at 3:1 or more against light and dark panels; without the
    // contrasting outline a light fill vanishes on a light panel.
    void trayGlyphShowsOnLightAndDarkPanels() {
        for (const QColor panel : {QColor(0xf6, 0xf5, 0xf4), QColor(0x30, 0x30, 0x30)})
            for (int status = 0; status <= int(StatusColor::Red); ++status)
                for (const int size : {16, 22}) {
                    const QColor color = statusQColor(StatusColor(status), {});
                    QImage shown(size, size, QImage::Format_RGB32);
                    shown.fill(panel);
                    QPainter(&shown).drawImage(0, 0, renderPrinterGlyph(size, color));
                    int standingOut = 0;
                    for (int i = 0; i < size * size; ++i)
                        standingOut += contrast(shown.pixelColor(i % size, i / size), panel) >= 3;
                    QVERIFY2(standingOut >= 3 * size,
                             qPrintable(color.name() + " on " + panel.name()));
                }
    }

#ifdef KESTREL_CPACK
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
        // An empty or missing package fails its download's size check below.
        const QByteArray package = fileContents(output.filePath(name));

        UpdateHost server;
        AppHarness harness;
        harness.writeInfoPlist("0.9");
        harness.config.agentBaseUrl = QUrl("http://127.0.0.1:9"); // no agent answers
        server.publish(harness.config, KESTREL_PROJECT_VERSION, name, {.body = package});
        harness.networkFactory = server.factory();
        AppDelegate& app = harness.launch();
        QTRY_VERIFY_WITH_TIMEOUT(app.state().availableUpdate.has_value(), 15000);
        app.downloadAvailableUpdate();
        const QString downloaded = QDir(harness.downloadsFolder()).filePath(name);
        QTRY_COMPARE_WITH_TIMEOUT(harness.desktop->revealed, QStringList{downloaded}, 30000);

        QTemporaryDir root;
        QCOMPARE(QProcess::execute("dpkg-deb", {"-x", downloaded, root.path()}), 0);
        QCOMPARE(QProcess::execute("dpkg-deb", {"-e", downloaded, output.filePath("control")}), 0);
        const QString control = "\n" + fileContents(output.filePath("control/control"));
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
        const QString found = bundlePathForExecutableDir(executable.absolutePath());
        QCOMPARE(found, QFileInfo(at + '/' + bundle).canonicalFilePath());
        QCOMPARE(bundleVersion(found), QString(KESTREL_PROJECT_VERSION));
        const QByteArray entry = fileContents(at + "/usr/share/applications/kestrel-agent.desktop");
        QVERIFY(entry.contains("\nExec=kestrel-agent %u\n"));
        QVERIFY(entry.contains("\nMimeType=x-scheme-handler/kestrel;\n"));
    }
#endif
};

QTEST_MAIN(TestPackaging)
#include "tst_packaging.moc"
