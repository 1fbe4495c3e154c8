#include "platform/SingleInstance.h"
#include "support/FakeAgent.h"
#include "support/Files.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString token = "Two_Instances-" + QString(50, 'z');

mode_t modeOf(const QString& path) {
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode;
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    std::unique_ptr<FakeAgent> m_agent;
    std::unique_ptr<QProcess> m_primary;

    // Every start of the application lives in the temporary home, each folder
    // named after its variable.
    void useHome() {
        qputenv("HOME", m_home.path().toUtf8());
        for (const char* name :
             {"XDG_STATE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "TMPDIR"})
            qputenv(name, m_home.filePath(name).toUtf8());
    }

    std::unique_ptr<QProcess> start(const QStringList& arguments) const {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(KESTREL_APP_EXECUTABLE, arguments);
        return process;
    }

    QString log() const {
        return QString::fromUtf8(fileContents(m_home.filePath("XDG_STATE_HOME/OrvantaPrint.log")));
    }

private slots:
    void initTestCase() {
        useHome();
        const QString socket = m_home.filePath("XDG_RUNTIME_DIR/kestrel-agent.socket");
        QVERIFY(::mkdir(QFile::encodeName(m_home.filePath("XDG_RUNTIME_DIR")), 0700) == 0);
        // What a crashed instance leaves behind: a file at the socket's path.
        QFile stale(socket);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        // An agent of an earlier test may still be letting go of the port.
        QTRY_VERIFY_WITH_TIMEOUT((m_agent = std::make_unique<FakeAgent>(43127))->isListening(),
                                 90000);
        m_agent->setReply("/v1/health", {.body = healthBody(KESTREL_APP_VERSION)});
        m_primary = start({});
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("app_launch"), 15000);
        // A socket, closed to everyone else.
        QCOMPARE(modeOf(socket) & (S_IFMT | 077), mode_t(S_IFSOCK));
        // The live socket answers, so a late listener leaves it alone.
        QVERIFY(!SingleInstance(m_home.filePath("XDG_RUNTIME_DIR"), nullptr).listen());
    }

    // Each test counts the previews of its own links.
    void init() { m_agent->clearRequests(); }

    void cleanupTestCase() {
        m_primary->terminate();
        QVERIFY(m_primary->waitForFinished(10000));
    }

    void secondStart_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        const QString link = "kestrel://connect?pairingToken=" + token;
        QTest::newRow("over the channel's limit")
            << QStringList{link + "&pad=" + QString(70000, 'p')} << 2;
        QTest::newRow("not a pairing link") << QStringList{"kestrel://connect?pairingToken=x"} << 2;
        QTest::newRow("with a link") << QStringList{link} << 0;
        QTest::newRow("without") << QStringList{} << 0;
    }

    // A start never becomes a second application beside the running one: it
    // hands over or ends with a failure status.
    void secondStart() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        const auto second = start(arguments);
        QVERIFY(second->waitForFinished(15000));
        QVERIFY(second->exitStatus() == QProcess::NormalExit);
        QCOMPARE(second->exitCode(), exitCode);
        QCOMPARE(m_primary->state(), QProcess::Running);
        QCOMPARE(log().count("app_launch"), 1);
        if (arguments.isEmpty() || exitCode != 0)
            return;
        // The running instance took the link and asked its agent for a preview.
        QTRY_COMPARE_WITH_TIMEOUT(m_agent->requestCount("/v1/app/pairing-preview"), 1, 15000);
        const QByteArray body = "{\"pairingToken\":\"" + token.toLatin1() + "\"}";
        QVERIFY(std::ranges::any_of(m_agent->requests(),
                                    [&](auto& seen) { return seen.body == body; }));
        QVERIFY(!log().contains(token));
    }

    // The token of a link that started the application stays in the process
    // list only while the start lasts.
    void coldStartWithALink() {
        const QString cold = "Cold_Start-" + QString(53, 'c');
        // A runtime folder of its own, so this start finds no instance.
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const auto primary = start({"kestrel://connect?pairingToken=" + cold});
        useHome();
        QTRY_VERIFY_WITH_TIMEOUT(m_agent->requestCount("/v1/app/pairing-preview") == 1, 15000);
        const QByteArray shown =
            fileContents(QString("/proc/%1/cmdline").arg(primary->processId()));
        QVERIFY(shown.startsWith(QFile::encodeName(KESTREL_APP_EXECUTABLE)));
        QVERIFY(!shown.contains(cold.toLatin1()) && !shown.contains("kestrel:"));
        primary->terminate();
        QVERIFY(primary->waitForFinished(10000));
    }

    void runtimeFolder_data() {
        QTest::addColumn<QString>("before"); // what is there before
        QTest::addColumn<bool>("used");
        QTest::newRow("nothing") << "" << true;
        QTest::newRow("ours, open to others") << "open" << true;
        QTest::newRow("a link to a private folder") << "link" << false;
    }

    // A runtime folder open to others is passed over for a private folder of
    // our own in our cache folder, which no other user can set up before us
    // (unlike one in the shared temporary folder).
    void runtimeFolder() {
        QFETCH(QString, before);
        QFETCH(bool, used);
        QTemporaryDir root;
        const QByteArray run = QFile::encodeName(root.filePath("run")),
                         path = QFile::encodeName(root.filePath("cache/kestrel-agent"));
        QVERIFY(::mkdir(run, 0700) == 0 && ::chmod(run, 0755) == 0);
        QVERIFY(QDir().mkpath(root.filePath("cache")));
        if (before == "open")
            QVERIFY(::mkdir(path, 0755) == 0);
        if (before == "link")
            QVERIFY(::symlink(QFile::encodeName(root.path()), path) == 0);
        qputenv("XDG_CACHE_HOME", QFile::encodeName(root.filePath("cache")));
        qputenv("XDG_RUNTIME_DIR", run);
        const QString folder = SingleInstance::defaultFolder();
        qunsetenv("XDG_CACHE_HOME");
        useHome();
        QCOMPARE(folder, used ? QFile::decodeName(path) : QString());
        QVERIFY(!used || (modeOf(folder) & 0777) == 0700);
    }

    // An instance that does not answer in time keeps a later start from
    // becoming a second one; with none, the start goes on.
    void handoverWithoutAnswer() {
        QTemporaryDir folder;
        SingleInstance starting(folder.path(), nullptr);
        QCOMPARE(starting.forwardToRunning({}), SingleInstance::Handover::NoInstance);
        // Listening, but busy: its event loop does not run meanwhile.
        QVERIFY(starting.listen());
        QCOMPARE(SingleInstance(folder.path(), nullptr).forwardToRunning({}),
                 SingleInstance::Handover::Failed);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_single_instance.moc"
