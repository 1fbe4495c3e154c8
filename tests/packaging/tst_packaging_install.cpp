#include "platform/BundleInfo.h"

#include <QDirIterator>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// `cmake --install` into a scratch root with the prefix /usr, as the Debian
// package is made. The tools write their complaints to the test's output.
class TestPackagingInstall : public QObject {
    Q_OBJECT
    QTemporaryDir m_root;
    const QString m_bundle = "usr/lib/kestrel-agent/KestrelAgent.app";

private slots:
    void initTestCase() {
        QVERIFY(m_root.isValid());
        qputenv("DESTDIR", QFile::encodeName(m_root.path()));
        QCOMPARE(
            QProcess::execute(KESTREL_CMAKE, {"--install", KESTREL_BUILD_DIR, "--prefix", "/usr"}),
            0);
    }

    // Nothing missing, nothing of the build (tests, tools) slipping in, each
    // theme icon of the size its folder promises, and the whole read as a
    // software centre reads it: the component, its desktop entry and its icon.
    void installsExactlyTheApplicationFiles() {
        QStringList expected = {"usr/bin/kestrel-agent",
                                "usr/share/applications/kestrel-agent.desktop",
                                "usr/share/metainfo/ru.orvanta.print.metainfo.xml",
                                "usr/share/icons/hicolor/scalable/apps/kestrel-agent.svg",
                                m_bundle + "/Contents/Info.plist",
                                m_bundle + "/Contents/MacOS/KestrelAgent"};
        if (KESTREL_BUILT_AGENT)
            expected.append(m_bundle + "/Contents/Resources/PrintService/orvanta-print-agent");
        for (const QString& size : QString(KESTREL_THEME_ICON_SIZES).split(u',')) {
            expected.append("usr/share/icons/hicolor/" + size + 'x' + size +
                            "/apps/kestrel-agent.png");
            QCOMPARE(QImage(m_root.filePath(expected.last())).width(), size.toInt());
        }
        QStringList installed;
        QDirIterator it(m_root.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            installed.append(QDir(m_root.path()).relativeFilePath(it.next()));
        expected.sort();
        installed.sort();
        QCOMPARE(installed, expected);
        QCOMPARE(
            QProcess::execute(KESTREL_APPSTREAMCLI, {"validate-tree", "--no-net", m_root.path()}),
            0);
    }

    // The application finds its bundle, and with it the agent and its
    // version, from its resolved executable path. A link that is absolute, or
    // a copy, would not resolve into this root's bundle. The desktop entry
    // starts that launcher with the link.
    void launcherResolvesIntoTheBundle() {
        const QFileInfo launcher(m_root.filePath("usr/bin/kestrel-agent"));
        const QFileInfo executable(launcher.canonicalFilePath());
        const QString bundle = kestrel::bundlePathForExecutableDir(executable.absolutePath());
        QCOMPARE(bundle, QFileInfo(m_root.filePath(m_bundle)).canonicalFilePath());
        QCOMPARE(kestrel::bundleVersion(bundle), QString(KESTREL_PROJECT_VERSION));
        QFile entry(m_root.filePath("usr/share/applications/kestrel-agent.desktop"));
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QByteArray text = entry.readAll();
        QVERIFY(text.contains("\nExec=kestrel-agent %u\n"));
        QVERIFY(text.contains("\nMimeType=x-scheme-handler/kestrel;\n"));
    }
};

QTEST_GUILESS_MAIN(TestPackagingInstall)
#include "tst_packaging_install.moc"
