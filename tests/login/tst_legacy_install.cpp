#include "platform/LegacyInstall.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

using namespace kestrel;

class LegacyInstallTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void describesEachPlatformsService();
    void stopsTheServiceOnceAndDeletesItsFile();
    void undeletableFileIsRetriedOnEveryLaunch();
    void toolFailureStillCountsAsMigrated_data();
    void toolFailureStillCountsAsMigrated();

private:
    // A stand-in for systemctl that appends its arguments, in brackets, as
    // one line per call, prints noise and then runs `body`.
    LegacyInstall installWithTool(const QString& body = QStringLiteral("exit 0"));
    bool createServiceFile() const {
        return QFile(m_install.serviceFile).open(QIODevice::WriteOnly);
    }
    QByteArray calls() const {
        QFile file(m_dir->filePath(QStringLiteral("calls")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    LegacyInstall m_install;
};

static const QByteArray oneCall = "[--user][stop][ru.orvanta.print-agent.service]\n";

void LegacyInstallTest::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    qputenv("HOME", m_dir->path().toUtf8());
    qputenv("XDG_CONFIG_HOME", "relative/is/ignored");
    m_install = installWithTool();
    QVERIFY(QDir().mkpath(QFileInfo(m_install.serviceFile).path()));
}

LegacyInstall LegacyInstallTest::installWithTool(const QString& body) {
    LegacyInstall install = legacyInstallFor(HostOs::Linux, UserFolders::current());
    install.program = m_dir->filePath(QStringLiteral("systemctl"));
    QFile tool(install.program);
    tool.open(QIODevice::WriteOnly);
    tool.write(QStringLiteral("#!/bin/sh\nfor a; do printf '[%s]' \"$a\"; done >> calls\n"
                              "echo >> calls\necho noise; echo noise >&2\n%1\n")
                   .arg(body)
                   .toUtf8());
    tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir::setCurrent(m_dir->path());
    return install;
}

void LegacyInstallTest::describesEachPlatformsService() {
    QCOMPARE(m_install.serviceFile, m_dir->filePath(QStringLiteral(
                                        ".config/systemd/user/ru.orvanta.print-agent.service")));
    qputenv("XDG_CONFIG_HOME", "/cfg/");
    QCOMPARE(UserFolders::current().configHome, QStringLiteral("/cfg"));

    const LegacyInstall onMac =
        legacyInstallFor(HostOs::MacOS, {QStringLiteral("/Users/u"), QString(), 501});
    QCOMPARE(onMac.serviceFile,
             QStringLiteral("/Users/u/Library/LaunchAgents/ru.orvanta.print-agent.plist"));
    QCOMPARE(onMac.program, QStringLiteral("/bin/launchctl"));
    QCOMPARE(onMac.arguments.join(u' '), QStringLiteral("bootout gui/501/ru.orvanta.print-agent"));
    QCOMPARE(UserFolders::current().uid, uint(::getuid()));
}

void LegacyInstallTest::stopsTheServiceOnceAndDeletesItsFile() {
    QVERIFY(!stopLegacyAgent(m_install));
    QCOMPARE(calls(), QByteArray()); // no file, no process

    QVERIFY(createServiceFile());
    QVERIFY(stopLegacyAgent(m_install));
    QCOMPARE(calls(), oneCall);
    QVERIFY(!QFileInfo::exists(m_install.serviceFile));

    QVERIFY(!stopLegacyAgent(m_install));
    QCOMPARE(calls(), oneCall);
}

void LegacyInstallTest::undeletableFileIsRetriedOnEveryLaunch() {
    // Permissions do not stop root, who runs CI; a non-empty folder in the
    // file's place cannot be removed as a file by anyone.
    QVERIFY(QDir().mkpath(m_install.serviceFile + QStringLiteral("/keep")));
    QVERIFY(stopLegacyAgent(m_install));
    QVERIFY(stopLegacyAgent(m_install));
    QCOMPARE(calls(), oneCall + oneCall);
    QVERIFY(QFileInfo::exists(m_install.serviceFile + QStringLiteral("/keep")));
}

void LegacyInstallTest::toolFailureStillCountsAsMigrated_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<int>("limitMs");
    QTest::newRow("service not loaded") << QStringLiteral("exit 5") << 30'000;
    QTest::newRow("killed by a signal") << QStringLiteral("kill -9 $$") << 30'000;
    QTest::newRow("hangs") << QStringLiteral("exec sleep 60") << 2'000;
    QTest::newRow("missing") << QString() << 30'000;
}

void LegacyInstallTest::toolFailureStillCountsAsMigrated() {
    QFETCH(QString, body);
    QFETCH(int, limitMs);
    LegacyInstall install = installWithTool(body);
    if (body.isEmpty()) {
        install.program = m_dir->filePath(QStringLiteral("no-such-tool"));
    }
    QVERIFY(createServiceFile());

    QElapsedTimer clock;
    clock.start();
    QVERIFY(stopLegacyAgent(install, std::chrono::milliseconds(limitMs)));
    QVERIFY2(clock.elapsed() < limitMs + 8'000, "a hanging tool must not hold the launch back");
    QVERIFY(!QFileInfo::exists(install.serviceFile));
    QCOMPARE(calls(), body.isEmpty() ? QByteArray() : oneCall);
}

QTEST_GUILESS_MAIN(LegacyInstallTest)
#include "tst_legacy_install.moc"
