#include "platform/BundleInfo.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>

using namespace kestrel;

namespace {

const QString bundleFolder = QStringLiteral("lib/kestrel-agent/KestrelAgent.app");

QHash<QString, QString> desktopEntry(const QString& path) {
    QHash<QString, QString> values;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return values;
    bool inEntry = false;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        if (line.startsWith(u'['))
            inEntry = line == u"[Desktop Entry]";
        else if (inEntry && line.contains(u'='))
            values.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
    }
    return values;
}

QList<int> themeIconSizes() {
    QList<int> sizes;
    for (const QString& size : QStringLiteral(KESTREL_THEME_ICON_SIZES).split(u','))
        sizes.append(size.toInt());
    return sizes;
}

} // namespace

// `cmake --install` into a scratch root with the prefix /usr, as the Debian
// package is made.
class TestPackagingInstall : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(m_root.isValid());
        QProcess install;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DESTDIR"), m_root.path());
        install.setProcessEnvironment(environment);
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(KESTREL_CMAKE),
                      {QStringLiteral("--install"), QStringLiteral(KESTREL_BUILD_DIR),
                       QStringLiteral("--prefix"), QStringLiteral("/usr")});
        QVERIFY(install.waitForFinished(120000));
        QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0,
                 install.readAll().constData());
        m_usr = m_root.path() + QStringLiteral("/usr/");
    }

    // Nothing missing, and nothing of the build (tests, tools) slipping in.
    void installsExactlyTheApplicationFiles() {
        QStringList expected = {
            QStringLiteral("usr/bin/kestrel-agent"),
            QStringLiteral("usr/") + bundleFolder + QStringLiteral("/Contents/Info.plist"),
            QStringLiteral("usr/") + bundleFolder + QStringLiteral("/Contents/MacOS/KestrelAgent"),
            QStringLiteral("usr/share/applications/kestrel-agent.desktop"),
            QStringLiteral("usr/share/metainfo/ru.orvanta.print.metainfo.xml"),
            QStringLiteral("usr/share/icons/hicolor/scalable/apps/kestrel-agent.svg"),
        };
        if (KESTREL_BUILT_AGENT) {
            expected.append(QStringLiteral("usr/") + bundleFolder +
                            QStringLiteral("/Contents/Resources/PrintService/orvanta-print-agent"));
        }
        for (const int size : themeIconSizes()) {
            expected.append(
                QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/kestrel-agent.png").arg(size));
        }
        QStringList installed;
        QDirIterator it(m_root.path(), QDir::Files | QDir::System | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            installed.append(QDir(m_root.path()).relativeFilePath(it.next()));
        expected.sort();
        installed.sort();
        QCOMPARE(installed, expected);
    }

    // The application finds its bundle, and with it the agent and its
    // version, from its executable's resolved path: the launcher must be a
    // link that resolves into the bundle under any prefix.
    void launcherResolvesIntoTheBundle() {
        const QString launcher = m_usr + QStringLiteral("bin/kestrel-agent");
        QVERIFY(QFileInfo(launcher).isSymLink());
        const std::filesystem::path target =
            std::filesystem::read_symlink(QFile::encodeName(launcher).toStdString());
        QVERIFY2(target.is_relative(), target.c_str());

        const QFileInfo executable(QFileInfo(launcher).canonicalFilePath());
        QCOMPARE(executable.filePath(),
                 QFileInfo(m_usr + bundleFolder + QStringLiteral("/Contents/MacOS/KestrelAgent"))
                     .canonicalFilePath());
        QVERIFY(executable.isExecutable());

        const QString bundle = bundlePathForExecutableDir(executable.absolutePath());
        QCOMPARE(QFileInfo(bundle).canonicalFilePath(),
                 QFileInfo(m_usr + bundleFolder).canonicalFilePath());
        QCOMPARE(bundleVersion(bundle), QStringLiteral(KESTREL_PROJECT_VERSION));
        if (KESTREL_BUILT_AGENT) {
            QVERIFY(QFileInfo(bundle + QStringLiteral("/Contents/Resources/PrintService/"
                                                      "orvanta-print-agent"))
                        .isExecutable());
        }
    }

    // The entry the desktop starts for kestrel: links names the installed
    // launcher and an installed icon.
    void desktopEntryStartsTheLauncherWithTheLink() {
        const auto entry =
            desktopEntry(m_usr + QStringLiteral("share/applications/kestrel-agent.desktop"));
        QCOMPARE(entry.value(QStringLiteral("Name")), QStringLiteral("Агент KESTREL"));
        const QStringList exec = entry.value(QStringLiteral("Exec")).split(u' ');
        QCOMPARE(exec.size(), 2);
        QVERIFY2(QFileInfo(m_usr + QStringLiteral("bin/") + exec[0]).isSymLink(),
                 qPrintable(exec[0]));
        QCOMPARE(exec[1], QStringLiteral("%u"));
        QVERIFY(entry.value(QStringLiteral("MimeType"))
                    .split(u';')
                    .contains(QStringLiteral("x-scheme-handler/kestrel")));
        QVERIFY(entry.value(QStringLiteral("Terminal"), QStringLiteral("false")) ==
                QStringLiteral("false"));
        const QString icon = entry.value(QStringLiteral("Icon"));
        QVERIFY(QFileInfo::exists(m_usr + QStringLiteral("share/icons/hicolor/scalable/apps/") +
                                  icon + QStringLiteral(".svg")));
        QVERIFY(QFileInfo::exists(m_usr + QStringLiteral("share/icons/hicolor/48x48/apps/") + icon +
                                  QStringLiteral(".png")));
    }

    void themeIconsHaveTheSizeOfTheirFolder() {
        for (const int size : themeIconSizes()) {
            const QImage icon(
                m_usr +
                QStringLiteral("share/icons/hicolor/%1x%1/apps/kestrel-agent.png").arg(size));
            QCOMPARE(icon.size(), QSize(size, size));
            QVERIFY(icon.hasAlphaChannel());
        }
    }

    // The AppStream checker reads the installed tree as a software centre
    // would: the component, its desktop entry and its icon together.
    void appStreamDataMatchesTheInstalledFiles() {
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(
            QStringLiteral(KESTREL_APPSTREAMCLI),
            {QStringLiteral("validate-tree"), QStringLiteral("--no-net"), m_root.path()});
        QVERIFY(validate.waitForFinished(60000));
        QVERIFY2(validate.exitCode() == 0, validate.readAll().constData());
    }

private:
    QTemporaryDir m_root;
    QString m_usr;
};

QTEST_GUILESS_MAIN(TestPackagingInstall)
#include "tst_packaging_install.moc"
