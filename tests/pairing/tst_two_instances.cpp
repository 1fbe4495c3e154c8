#include "support/FakeAgent.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <csignal>

using namespace kestrel::test;

namespace {

const QString token = QStringLiteral("Two_Instances-") + QString(50, QLatin1Char('z'));
const QString previewPath = QStringLiteral("/v1/app/pairing-preview");

} // namespace

// Starts the built application twice, as the desktop does when a link is
// opened while it already runs.
class TestTwoInstances : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void secondStartHandsOverTheLink();
    void secondStartWithoutLinkExits();

private:
    std::unique_ptr<QProcess> start(const QStringList& arguments) const;
    QString log() const;

    QTemporaryDir m_home;
    std::unique_ptr<FakeAgent> m_agent;
    std::unique_ptr<QProcess> m_primary;
};

std::unique_ptr<QProcess> TestTwoInstances::start(const QStringList& arguments) const {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", m_home.path());
    environment.insert("XDG_STATE_HOME", m_home.filePath(".local/state"));
    environment.insert("XDG_CONFIG_HOME", m_home.filePath(".config"));
    environment.insert("XDG_DATA_HOME", m_home.filePath(".local/share"));
    environment.insert("XDG_RUNTIME_DIR", m_home.filePath("run"));
    environment.insert("TMPDIR", m_home.filePath("tmp"));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.remove("http_proxy");
    environment.remove("HTTP_PROXY");
    process->setProcessEnvironment(environment);
    process->setProgram(QStringLiteral(KESTREL_APP_EXECUTABLE));
    process->setArguments(arguments);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start();
    return process;
}

QString TestTwoInstances::log() const {
    QFile file(m_home.filePath(".local/state/OrvantaPrint.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void TestTwoInstances::initTestCase() {
    QVERIFY(m_home.isValid());
    QVERIFY(QDir().mkpath(m_home.filePath("run")));
    QVERIFY(QFile::setPermissions(m_home.filePath("run"), QFileDevice::ReadOwner |
                                                              QFileDevice::WriteOwner |
                                                              QFileDevice::ExeOwner));
    QVERIFY(QDir().mkpath(m_home.filePath("tmp")));

    // Connections of an earlier test may still hold the port in their
    // closing wait, and nothing signals when they let go.
    const QDeadlineTimer deadline(std::chrono::seconds(90));
    for (m_agent = std::make_unique<FakeAgent>(43127);
         !m_agent->isListening() && !deadline.hasExpired();
         m_agent = std::make_unique<FakeAgent>(43127))
        QThread::sleep(1);
    QVERIFY2(m_agent->isListening(), "the agent port is taken");
    m_agent->setReply("/v1/health", {.body = healthBody(QStringLiteral(KESTREL_APP_VERSION))});
    m_agent->setReply(previewPath, {.status = 403, .body = "{\"error\":\"тест\"}"}, "POST");

    m_primary = start({});
    QVERIFY(m_primary->waitForStarted());
    // Up and polling, with its channel open.
    QTRY_VERIFY_WITH_TIMEOUT(m_agent->requestCount("/v1/health") >= 1, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_home.filePath("run/kestrel-agent.socket")), 5000);
}

void TestTwoInstances::cleanupTestCase() {
    if (m_primary && m_primary->state() != QProcess::NotRunning) {
        m_primary->terminate();
        if (!m_primary->waitForFinished(10000))
            m_primary->kill();
        m_primary->waitForFinished(5000);
    }
    m_primary.reset();
    m_agent.reset();
}

void TestTwoInstances::secondStartHandsOverTheLink() {
    const auto second = start({QStringLiteral("kestrel://connect?pairingToken=") + token});
    QVERIFY(second->waitForFinished(15000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);

    // The running instance took the link and asked its agent for a preview.
    QTRY_COMPARE_WITH_TIMEOUT(m_agent->requestCount(previewPath), 1, 15000);
    const QList<RecordedRequest> requests = m_agent->requests();
    const auto preview = std::find_if(requests.begin(), requests.end(), [](const auto& request) {
        return request.path == previewPath;
    });
    QCOMPARE(preview->body, "{\"pairingToken\":\"" + token.toLatin1() + "\"}");
    const QByteArray secret = preview->header("X-Kestrel-App");
    QCOMPARE(secret.size(), 72);
    QCOMPARE(m_primary->state(), QProcess::Running);

    const QString written = log();
    QVERIFY(written.contains("app_launch"));
    QVERIFY(!written.contains(token));
    QVERIFY(!written.contains(QString::fromLatin1(secret)));
}

void TestTwoInstances::secondStartWithoutLinkExits() {
    const int launches = static_cast<int>(log().count("app_launch"));
    const auto second = start({});
    QVERIFY(second->waitForFinished(15000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(m_primary->state(), QProcess::Running);
    // It never became a second application.
    QCOMPARE(log().count("app_launch"), launches);
}

QTEST_GUILESS_MAIN(TestTwoInstances)
#include "tst_two_instances.moc"
