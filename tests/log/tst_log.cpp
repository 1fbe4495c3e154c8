#include "log/DiagnosticLog.h"
#include "log/LogLine.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTest>

using namespace kestrel;

namespace {

const QRegularExpression linePrefix(QRegularExpression::anchoredPattern(QStringLiteral(
    R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z APP launch=[0-9A-F-]{36} elapsed_s=\d+\.\d{3} (.*)\n)")));

const QString launchId = QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E");

QStringList readLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class TestLog : public QObject {
    Q_OBJECT

private slots:
    void lineHasTheFixedShape() {
        const QDateTime when(QDate(2026, 3, 4), QTime(5, 6, 7, 89), Qt::UTC);
        QCOMPARE(formatLogLine(when, launchId, 3600.0, QStringLiteral("app_terminate")),
                 QStringLiteral("2026-03-04T05:06:07.089Z APP launch=") + launchId +
                     QStringLiteral(" elapsed_s=3600.000 app_terminate\n"));
        // A local time is written in UTC.
        const QDateTime moscow(QDate(2026, 3, 4), QTime(8, 6, 7, 89), QTimeZone(3 * 3600));
        QVERIFY(formatLogLine(moscow, launchId, 0.125, QString())
                    .startsWith("2026-03-04T05:06:07.089Z"));
        QVERIFY(formatLogLine(moscow, launchId, 0.125, QString()).endsWith(" elapsed_s=0.125 \n"));
    }

    void eventTextIsKeptExceptControlCharacters_data() {
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("written");
        QTest::newRow("spaces kept")
            << "app_launch version=1.0 os=Debian GNU/Linux 12 (bookworm) pid=7"
            << "app_launch version=1.0 os=Debian GNU/Linux 12 (bookworm) pid=7";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("cyrillic kept") << "версия=1.0"
                                       << "версия=1.0";
        QTest::newRow("line feed") << "health_result version=1.0\nhelper_exit status=0"
                                   << "health_result version=1.0\\nhelper_exit status=0";
        QTest::newRow("carriage return and tab") << "a\rb\tc"
                                                 << "a\\rb\\tc";
        QTest::newRow("escape and nul")
            << QStringLiteral("a\x1b[2Jb") + QChar(0) << "a\\x1b[2Jb\\x00";
        QTest::newRow("line separator") << QStringLiteral("a") + QChar(0x2028) + "b"
                                        << "a\\x2028b";
    }
    void eventTextIsKeptExceptControlCharacters() {
        QFETCH(QString, event);
        QFETCH(QString, written);
        const QString line = formatLogLine(QDateTime::currentDateTimeUtc(), launchId, 1.5, event);
        const auto match = linePrefix.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        QCOMPARE(match.captured(1), written);
        QCOMPARE(line.count(QLatin1Char('\n')), 1);
    }

    void firstEventCreatesFolderAndFile() {
        QTemporaryDir home;
        const QString path = home.filePath(QStringLiteral("a/b/c/OrvantaPrint.log"));
        DiagnosticLog log(path, launchId, 0.0);
        log.write(QStringLiteral("legacy_check_begin"));
        const QStringList lines = readLines(path);
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().endsWith(QStringLiteral(" legacy_check_begin")));
    }

    void twoRunsAppendToOneFile() {
        QTemporaryDir home;
        const QString path = home.filePath(QStringLiteral("OrvantaPrint.log"));
        const QString otherId = QStringLiteral("7C9E6679-7425-40DE-944B-E07FC1F90AE7");
        DiagnosticLog(path, launchId, 0.0).write(QStringLiteral("app_terminate"));
        DiagnosticLog(path, otherId, 0.0).write(QStringLiteral("app_launch"));
        const QStringList lines = readLines(path);
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].contains(launchId));
        QVERIFY(lines[1].contains(otherId));
    }

    void unwritableLogDropsEventsSilently() {
        QTemporaryDir home;
        // A folder where the file should be cannot be opened for writing, even
        // by root, which ignores file permissions.
        const QString path = home.filePath(QStringLiteral("OrvantaPrint.log"));
        QVERIFY(QDir().mkpath(path));
        DiagnosticLog log(path, launchId, 0.0);
        log.write(QStringLiteral("app_launch"));
        log.ensureLogFile();
        QVERIFY(QFileInfo(path).isDir());
    }

    void ensureLogFileRecreatesDeletedFile() {
        QTemporaryDir home;
        const QString path = home.filePath(QStringLiteral("Logs/OrvantaPrint.log"));
        DiagnosticLog log(path, launchId, 0.0);
        log.write(QStringLiteral("app_launch"));
        QVERIFY(QFile::remove(path));
        log.ensureLogFile();
        QVERIFY(QFileInfo(path).isFile());
        QCOMPARE(QFileInfo(path).size(), 0);
    }

    void defaultPathFollowsStateHome() {
        QTemporaryDir home;
        qputenv("XDG_STATE_HOME", home.path().toUtf8());
        QCOMPARE(defaultLogFilePath(), home.filePath(QStringLiteral("OrvantaPrint.log")));
        // A relative value is not a valid base folder and is ignored.
        qputenv("XDG_STATE_HOME", "relative/state");
        QVERIFY(defaultLogFilePath().endsWith(QStringLiteral("/.local/state/OrvantaPrint.log")));
        qunsetenv("XDG_STATE_HOME");
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
