#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

namespace {

const QRegularExpression
    ownLine(QStringLiteral(R"(^\S+ APP launch=([0-9A-F-]{36}) elapsed_s=(\d+\.\d{3}) (.*)$)"));

struct OwnLine {
    QString launchId;
    double elapsed = 0.0;
    QString event;
};

} // namespace

// Runs the built application with its bundled agent as a user would start it,
// in a temporary home.
class TestProcess : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;

    QString logPath() const {
        return m_home.filePath(QStringLiteral(".local/state/OrvantaPrint.log"));
    }

    QList<OwnLine> ownLines() const {
        QFile file(logPath());
        QList<OwnLine> result;
        if (!file.open(QIODevice::ReadOnly))
            return result;
        for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
            const auto match = ownLine.match(line);
            if (match.hasMatch())
                result.append({match.captured(1), match.captured(2).toDouble(), match.captured(3)});
        }
        return result;
    }

    // Elapsed time of the first line of the latest run whose event starts
    // with `prefix`; negative when there is none.
    double eventElapsed(const QString& prefix) const {
        const QList<OwnLine> lines = ownLines();
        if (lines.isEmpty())
            return -1.0;
        for (const OwnLine& line : lines)
            if (line.launchId == lines.last().launchId && line.event.startsWith(prefix))
                return line.elapsed;
        return -1.0;
    }

    bool hasEventStartingWith(const QString& prefix) const { return eventElapsed(prefix) >= 0.0; }

    // Starts the application, waits for a line starting with `event`, then
    // sends it `signalNumber` and expects the orderly shutdown.
    void runUntil(const QString& event, int signalNumber) {
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
        QTRY_VERIFY_WITH_TIMEOUT(ownLines().size() > before && hasEventStartingWith(event), 10000);
        ::kill(static_cast<pid_t>(app.processId()), signalNumber);
        QVERIFY(app.waitForFinished(10000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        QCOMPARE(ownLines().last().event, QStringLiteral("app_terminate"));
    }

private slots:
    void initTestCase() { QDir().mkpath(m_home.filePath(QStringLiteral("run"))); }

    void bundledAgentIsReadyWithinASecond() {
        runUntil(QStringLiteral("service_ready"), SIGTERM);
        const double ready = eventElapsed(QStringLiteral("service_ready"));
        QVERIFY2(ready > 0.0 && ready < 1.0, qPrintable(QString::number(ready)));
        QVERIFY(hasEventStartingWith(
            QStringLiteral("health_result http=200 error=none:0 valid=true version=")));
    }

    void terminationSignalsEndInTheShutdownSequence() {
        runUntil(QStringLiteral("legacy_check_end migrated=false"), SIGTERM);
        runUntil(QStringLiteral("legacy_check_end migrated=false"), SIGINT);
        const QList<OwnLine> lines = ownLines();
        QSet<QString> runs;
        int terminations = 0;
        for (const OwnLine& line : lines) {
            runs.insert(line.launchId);
            terminations += line.event == QStringLiteral("app_terminate") ? 1 : 0;
        }
        QCOMPARE(runs.size(), 3);
        QCOMPARE(terminations, 3);
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
