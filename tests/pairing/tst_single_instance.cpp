#include "platform/SingleInstance.h"
#include "support/FakeAgent.h"
#include "support/Files.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

using namespace kestrel;
using namespace kestrel::test;

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
    // Starts the application with a link of `token`, if any.
    static std::unique_ptr<QProcess> start(const QString& token) {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(KESTREL_APP_EXECUTABLE,
                       token.isNull() ? QStringList()
                                      : QStringList{"kestrel://connect?pairingToken=" + token});
        return process;
    }
    QString log() const {
        return QString::fromUtf8(fileContents(m_home.filePath("XDG_STATE_HOME/OrvantaPrint.log")));
    }
    // Previews the agent was asked for with `token`.
    qsizetype previews(const QString& token) const {
        const QByteArray body = "{\"pairingToken\":\"" + token.toLatin1() + "\"}";
        return std::ranges::count(m_agent->requests(), body, &RecordedRequest::body);
    }

private slots:
    void initTestCase() {
        useHome();
        const QString socket = m_home.filePath("XDG_RUNTIME_DIR/kestrel-agent.socket");
        QVERIFY(::mkdir(QFile::encodeName(m_home.filePath("XDG_RUNTIME_DIR")), 0700) == 0);
        // What a crashed instance leaves behind: a file at the socket's path.
        QVERIFY(QFile(socket).open(QIODevice::WriteOnly));
        // An agent of an earlier test may still be letting go of the port.
        QTRY_VERIFY_WITH_TIMEOUT((m_agent = std::make_unique<FakeAgent>(43127))->isListening(),
                                 90000);
        m_agent->setReply("/v1/health", {.body = healthBody(KESTREL_APP_VERSION)});
        m_primary = start({});
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("app_launch"), 15000);
        // Closed to everyone else.
        QVERIFY(!(QFile::permissions(socket) & 0x77));
    }

    void secondStart_data() {
        QTest::addColumn<QString>("token");
        QTest::addColumn<int>("exitCode");
        const QString token = "Two_Instances-" + QString(50, 'z');
        // Not a valid link (and over the channel's limit): refused before any connection.
        QTest::newRow("over the channel's limit") << token + "&pad=" + QString(70000, 'p') << 2;
        QTest::newRow("with a link") << token << 0;
    }

    // A start never becomes a second application beside the running one: it
    // hands over or ends with a failure status.
    void secondStart() {
        QFETCH(QString, token);
        QFETCH(int, exitCode);
        const auto second = start(token);
        QVERIFY(second->waitForFinished(15000) && second->exitStatus() == QProcess::NormalExit);
        QCOMPARE(second->exitCode(), exitCode);
        QCOMPARE(log().count("app_launch"), 1);
        // The running instance took the link and asked its agent for a preview.
        if (exitCode == 0)
            QTRY_COMPARE_WITH_TIMEOUT(previews(token), 1, 15000);
    }

    // The token of a link that started the application stays in the process
    // list only while the start lasts.
    void coldStartWithALink() {
        const QString cold = "Cold_Start-" + QString(53, 'c');
        // A runtime folder of its own, so this start finds no instance.
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const auto primary = start(cold);
        useHome();
        QTRY_COMPARE_WITH_TIMEOUT(previews(cold), 1, 15000);
        const QByteArray shown =
            fileContents(QString("/proc/%1/cmdline").arg(primary->processId()));
        QVERIFY(shown.startsWith(QFile::encodeName(KESTREL_APP_EXECUTABLE)));
        QVERIFY(!shown.contains(cold.toLatin1()) && !shown.contains("kestrel:"));
    }

    // A runtime folder open to others is passed over for a private folder of
    // our own in our cache folder, which no other user can set up before us
    // (unlike one in the shared temporary folder); a link in its place is
    // refused.
    void runtimeFolder() {
        for (const QString before : {"nothing", "link"}) {
            QTemporaryDir root;
            const QByteArray at = QFile::encodeName(root.path()), run = at + "/run",
                             cache = at + "/cache", path = cache + "/kestrel-agent";
            QVERIFY(::mkdir(run, 0700) == 0 && ::chmod(run, 0750) == 0 &&
                    ::mkdir(cache, 0700) == 0);
            QVERIFY(before != "link" || ::symlink(at, path) == 0);
            qputenv("XDG_CACHE_HOME", cache);
            qputenv("XDG_RUNTIME_DIR", run);
            const QString folder = SingleInstance::defaultFolder();
            QCOMPARE(folder, before == "link" ? QString() : QFile::decodeName(path));
            QVERIFY(folder.isEmpty() || !(QFile::permissions(folder) & 0x77));
        }
        qunsetenv("XDG_CACHE_HOME");
        useHome();
    }

    // An instance that does not answer in time keeps a later start from
    // becoming a second one: it ends with status 1.
    void handoverWithoutAnswer() {
        QTemporaryDir folder;
        // Listening, but busy: its event loop does not run meanwhile.
        SingleInstance busy(folder.path(), nullptr);
        QVERIFY(busy.listen());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(folder.path()));
        const auto second = start({});
        useHome();
        QVERIFY(second->waitForFinished(30000) && second->exitCode() == 1);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_single_instance.moc"
