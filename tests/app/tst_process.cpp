#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

namespace {

const QRegularExpression
    ownLine(QStringLiteral(R"(^\S+ APP launch=([0-9A-F-]{36}) elapsed_s=\d+\.\d{3} (.*)$)"));

} // namespace

// Runs the built application as a user would start it, in a temporary home.
class TestProcess : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;

    QString logPath() const {
        return m_home.filePath(QStringLiteral(".local/state/OrvantaPrint.log"));
    }

    // (run id, event) of every line the application wrote.
    QList<std::pair<QString, QString>> ownLines() const {
        QFile file(logPath());
        QList<std::pair<QString, QString>> result;
        if (!file.open(QIODevice::ReadOnly))
            return result;
        for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
            const auto match = ownLine.match(line);
            if (match.hasMatch())
                result.append({match.captured(1), match.captured(2)});
        }
        return result;
    }

    bool hasEvent(const QString& event) const {
        for (const auto& line : ownLines())
            if (line.second == event)
                return true;
        return false;
    }

    void runOnceAndTerminate(int signalNumber) {
        QProcess app;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        environment.insert(QStringLiteral("XDG_STATE_HOME"),
                           m_home.filePath(QStringLiteral(".local/state")));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           m_home.filePath(QStringLiteral(".config")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"),
                           m_home.filePath(QStringLiteral(".local/share")));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"),
                           m_home.filePath(QStringLiteral("run")));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        app.setProcessEnvironment(environment);
        app.setProgram(QStringLiteral(KESTREL_APP_EXECUTABLE));
        const qsizetype before = ownLines().size();
        app.start();
        QVERIFY(app.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(ownLines().size() >= before + 3, 10000);
        ::kill(static_cast<pid_t>(app.processId()), signalNumber);
        QVERIFY(app.waitForFinished(10000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        QCOMPARE(ownLines().last().second, QStringLiteral("app_terminate"));
    }

private slots:
    void initTestCase() { QDir().mkpath(m_home.filePath(QStringLiteral("run"))); }

    void terminationSignalsEndInTheShutdownSequence() {
        runOnceAndTerminate(SIGTERM);
        runOnceAndTerminate(SIGINT);
        const auto lines = ownLines();
        QVERIFY(lines.first().second.startsWith(QStringLiteral("app_launch version=")));
        QVERIFY(lines.first().first != lines.last().first);
        QCOMPARE(lines.count({lines.first().first, QStringLiteral("app_terminate")}), 1);
        QCOMPARE(lines.count({lines.last().first, QStringLiteral("app_terminate")}), 1);
        QVERIFY(hasEvent(QStringLiteral("legacy_check_end migrated=false")));
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
