#include "platform/LegacyInstall.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

using namespace kestrel;

namespace {

bool writeFile(const QString& path, const QByteArray& contents) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class LegacyInstallTest : public QObject {
    Q_OBJECT

private slots:
    void init();

    void describesEachPlatformsService();
    void configHomeFollowsTheBaseDirectoryRules();
    void withoutServiceFileNothingRuns();
    void stopsTheServiceAndDeletesItsFile();
    void undeletableFileIsRetriedOnEveryLaunch();
    void toolFailureStillCountsAsMigrated_data();
    void toolFailureStillCountsAsMigrated();

private:
    // A stand-in for launchctl/systemctl that appends one line per call with
    // its arguments in brackets, prints noise and then runs `body`.
    QString fakeTool(const QString& body = QStringLiteral("exit 0"));
    LegacyInstall installWith(const QString& program) const;
    QString record() const { return QString::fromUtf8(readFile(m_recordPath)); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_recordPath;
};

void LegacyInstallTest::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_recordPath = m_dir->filePath(QStringLiteral("calls.txt"));
    QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral("config/systemd/user"))));
}

QString LegacyInstallTest::fakeTool(const QString& body) {
    const QString path = m_dir->filePath(QStringLiteral("tool.sh"));
    const QString script = QStringLiteral("#!/bin/sh\n"
                                          "for a in \"$@\"; do printf '[%s]' \"$a\"; done >> '%1'\n"
                                          "echo >> '%1'\n"
                                          "echo 'noise on stdout'; echo 'noise on stderr' >&2\n")
                               .arg(m_recordPath) +
                           body + u'\n';
    if (!writeFile(path, script.toUtf8()) ||
        !QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        return {};
    }
    return path;
}

LegacyInstall LegacyInstallTest::installWith(const QString& program) const {
    UserFolders user;
    user.home = m_dir->path();
    user.configHome = m_dir->filePath(QStringLiteral("config"));
    LegacyInstall install = legacyInstallFor(HostOs::Linux, user);
    install.program = program;
    return install;
}

void LegacyInstallTest::describesEachPlatformsService() {
    const UserFolders user{QStringLiteral("/home/u"), QStringLiteral("/cfg"), 501};

    const LegacyInstall onMac = legacyInstallFor(HostOs::MacOS, user);
    QCOMPARE(onMac.serviceFile,
             QStringLiteral("/home/u/Library/LaunchAgents/ru.orvanta.print-agent.plist"));
    QCOMPARE(onMac.program, QStringLiteral("/bin/launchctl"));
    QCOMPARE(onMac.arguments, QStringList({QStringLiteral("bootout"),
                                           QStringLiteral("gui/501/ru.orvanta.print-agent")}));

    const LegacyInstall onLinux = legacyInstallFor(HostOs::Linux, user);
    QCOMPARE(onLinux.serviceFile,
             QStringLiteral("/cfg/systemd/user/ru.orvanta.print-agent.service"));
    QCOMPARE(onLinux.program, QStringLiteral("systemctl"));
    QCOMPARE(onLinux.arguments, QStringList({QStringLiteral("--user"), QStringLiteral("stop"),
                                             QStringLiteral("ru.orvanta.print-agent.service")}));
}

void LegacyInstallTest::configHomeFollowsTheBaseDirectoryRules() {
    const QByteArray savedHome = qgetenv("HOME");
    const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
    const auto restore = qScopeGuard([&] {
        qputenv("HOME", savedHome);
        if (savedConfig.isNull()) {
            qunsetenv("XDG_CONFIG_HOME");
        } else {
            qputenv("XDG_CONFIG_HOME", savedConfig);
        }
    });

    qputenv("HOME", m_dir->path().toUtf8());
    qunsetenv("XDG_CONFIG_HOME");
    QCOMPARE(UserFolders::current().home, m_dir->path());
    QCOMPARE(UserFolders::current().configHome, m_dir->filePath(QStringLiteral(".config")));

    qputenv("XDG_CONFIG_HOME", "/elsewhere/config/");
    QCOMPARE(UserFolders::current().configHome, QStringLiteral("/elsewhere/config"));

    // A relative value is invalid and falls back to the default.
    qputenv("XDG_CONFIG_HOME", "relative/config");
    QCOMPARE(UserFolders::current().configHome, m_dir->filePath(QStringLiteral(".config")));
    QCOMPARE(UserFolders::current().uid, uint(::getuid()));
}

void LegacyInstallTest::withoutServiceFileNothingRuns() {
    const LegacyInstall install = installWith(fakeTool());
    QVERIFY(!QFileInfo::exists(install.serviceFile));

    QVERIFY(!stopLegacyAgent(install));
    QVERIFY(!QFileInfo::exists(m_recordPath));
    QVERIFY(!stopLegacyAgent(LegacyInstall{}));
}

void LegacyInstallTest::stopsTheServiceAndDeletesItsFile() {
    const LegacyInstall install = installWith(fakeTool());
    QVERIFY(writeFile(install.serviceFile, "[Service]\nExecStart=/opt/agent\n"));

    QVERIFY(stopLegacyAgent(install));
    QCOMPARE(record(), QStringLiteral("[--user][stop][ru.orvanta.print-agent.service]\n"));
    QVERIFY(!QFileInfo::exists(install.serviceFile));

    // The next launch finds nothing and runs nothing.
    QVERIFY(!stopLegacyAgent(install));
    QCOMPARE(record().count(u'\n'), 1);
}

void LegacyInstallTest::undeletableFileIsRetriedOnEveryLaunch() {
    const LegacyInstall install = installWith(fakeTool());
    // Permissions do not stop root, which runs CI; a non-empty folder in the
    // file's place cannot be removed as a file by anyone.
    QVERIFY(QDir().mkpath(install.serviceFile));
    QVERIFY(writeFile(install.serviceFile + QStringLiteral("/keep"), "x"));

    QVERIFY(stopLegacyAgent(install));
    QVERIFY(stopLegacyAgent(install));
    QCOMPARE(record(), QStringLiteral("[--user][stop][ru.orvanta.print-agent.service]\n"
                                      "[--user][stop][ru.orvanta.print-agent.service]\n"));
    QVERIFY(QFileInfo::exists(install.serviceFile + QStringLiteral("/keep")));
}

void LegacyInstallTest::toolFailureStillCountsAsMigrated_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<bool>("missingTool");
    QTest::addColumn<bool>("toolRecords");
    QTest::addColumn<int>("limitMs");

    QTest::newRow("service not loaded") << QStringLiteral("exit 5") << false << true << 30'000;
    QTest::newRow("killed by a signal") << QStringLiteral("kill -9 $$") << false << true << 30'000;
    QTest::newRow("tool missing") << QString() << true << false << 30'000;
    QTest::newRow("tool hangs") << QStringLiteral("exec sleep 60") << false << true << 2'000;
}

void LegacyInstallTest::toolFailureStillCountsAsMigrated() {
    QFETCH(QString, body);
    QFETCH(bool, missingTool);
    QFETCH(bool, toolRecords);
    QFETCH(int, limitMs);

    const QString program =
        missingTool ? m_dir->filePath(QStringLiteral("no-such-tool")) : fakeTool(body);
    const LegacyInstall install = installWith(program);
    QVERIFY(writeFile(install.serviceFile, "[Service]\n"));

    QElapsedTimer clock;
    clock.start();
    QVERIFY(stopLegacyAgent(install, std::chrono::milliseconds(limitMs)));
    QVERIFY2(clock.elapsed() < limitMs + 8'000, "a hanging tool must not hold the launch back");
    QVERIFY(!QFileInfo::exists(install.serviceFile));
    QCOMPARE(QFileInfo::exists(m_recordPath), toolRecords);
}

QTEST_GUILESS_MAIN(LegacyInstallTest)
#include "tst_legacy_install.moc"
