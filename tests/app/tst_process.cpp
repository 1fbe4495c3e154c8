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

    QProcessEnvironment appEnvironment() const {
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
        return environment;
    }

    // Starts the application, waits for a line starting with `event`, then
    // sends it `signalNumber` and expects the orderly shutdown.
    void runUntil(const QString& event, int signalNumber) {
        QProcess app;
        app.setProcessEnvironment(appEnvironment());
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

    // On an X server with no window manager to move it: the title as a window
    // manager shows it, without the application's name appended, and the
    // window centred on the screen.
    void windowAsTheWindowManagerSeesIt() {
        QProcess server;
        // The server writes the number of a free display to standard output.
        server.start(QStringLiteral("Xvfb"),
                     {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
        QVERIFY(server.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(server.canReadLine(), 10000);
        QProcessEnvironment environment = appEnvironment();
        environment.insert("DISPLAY", ':' + QString::fromLatin1(server.readLine()).trimmed());
        environment.insert("QT_QPA_PLATFORM", "xcb");
        environment.insert("LC_ALL", "C.UTF-8");
        // libxkbcommon-x11 gives strndup a buffer without a closing NUL, which
        // the sanitizer's strict string checks stop at; that library is not ours.
        if (environment.contains("ASAN_OPTIONS"))
            environment.insert("ASAN_OPTIONS",
                               environment.value("ASAN_OPTIONS")
                                   .replace("strict_string_checks=1", "strict_string_checks=0"));
        const auto x = [&](const QString& tool, const QStringList& arguments) {
            QProcess process;
            process.setProcessEnvironment(environment);
            process.start(tool, arguments);
            process.waitForFinished();
            return QString::fromUtf8(process.readAllStandardOutput());
        };
        QProcess app;
        app.setProcessEnvironment(environment);
        app.start(QStringLiteral(KESTREL_APP_EXECUTABLE));
        QVERIFY(app.waitForStarted());
        // xwininfo: `0x… "name": ("class") WxH+X+Y  +X+Y`
        const QRegularExpression listed(
            "(0x[0-9a-f]+) \"(Агент KESTREL [^\"]*)\".* (\\d+)x(\\d+)\\+(-?\\d+)\\+(-?\\d+) ");
        QRegularExpressionMatch window;
        QTRY_VERIFY_WITH_TIMEOUT(
            (window = listed.match(x("xwininfo", {"-root", "-tree"}))).hasMatch(), 10000);
        const QString title = window.captured(2);
        QVERIFY2(QRegularExpression("^Агент KESTREL \\d+\\.\\d+\\.\\d+$").match(title).hasMatch(),
                 qPrintable(title));
        QCOMPARE(x("xprop", {"-id", window.captured(1), "_NET_WM_NAME"}).trimmed(),
                 "_NET_WM_NAME(UTF8_STRING) = \"" + title + '"');
        QCOMPARE(window.captured(5).toInt(), (1280 - window.captured(3).toInt()) / 2);
        QCOMPARE(window.captured(6).toInt(), (1024 - window.captured(4).toInt()) / 2);
        app.terminate();
        QVERIFY(app.waitForFinished(10000));
        server.terminate();
        QVERIFY(server.waitForFinished(10000));
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
