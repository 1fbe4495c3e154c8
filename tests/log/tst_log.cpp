#include "log/DiagnosticLog.h"
#include "log/LogLine.h"
#include "support/Files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

using namespace kestrel;

class TestLog : public QObject {
    Q_OBJECT

    const QString launchId = QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E");

private slots:
    void lineFormat_data() {
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("written");
        // Cyrillic stays as it is.
        QTest::newRow("named escapes") << "версия=1.0\nhelper_exit\r\t"
                                       << "версия=1.0\\nhelper_exit\\r\\t";
        QTest::newRow("escape, nul, line separator")
            << QStringLiteral("a\x1b[2Jb") + QChar(0) + QChar(0x2028) << "a\\x1b[2Jb\\x00\\x2028";
        // Each end of every escaped range, beside the printable neighbours that stay.
        QTest::newRow("range ends") << QStringLiteral("\x1f \x7e\x7f\x80\x9f\xa0") + QChar(0x2029)
                                    << QStringLiteral("\\x1f ~\\x7f\\x80\\x9f\xa0\\x2029");
    }
    void lineFormat() {
        QFETCH(QString, event);
        QFETCH(QString, written);
        // Written in UTC whatever the zone of the time handed in.
        const QDateTime moscow(QDate(2026, 3, 4), QTime(8, 6, 7, 89), QTimeZone(3 * 3600));
        QCOMPARE(formatLogLine(moscow, launchId, 3600.0, event),
                 "2026-03-04T05:06:07.089Z APP launch=" + launchId + " elapsed_s=3600.000 " +
                     written + '\n');
    }

    // In the state folder the environment names, created with its folders,
    // appended to by each launch, recreated when removed; a log that cannot
    // be written drops events without a fuss.
    void fileIsCreatedAppendedAndRecreated() {
        QTemporaryDir home;
        qputenv("XDG_STATE_HOME", home.filePath("a/b").toUtf8());
        const QString path = defaultLogFilePath();
        QCOMPARE(path, home.filePath("a/b/OrvantaPrint.log"));
        const QString otherId = "7C9E6679-7425-40DE-944B-E07FC1F90AE7";
        DiagnosticLog(path, launchId, 0.0).write("app_terminate");
        DiagnosticLog(path, otherId, 0.0).write("app_launch");
        const QList<test::OwnLine> lines = test::ownLines(path);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0].launchId + ' ' + lines[0].event + ' ' + lines[1].launchId,
                 launchId + " app_terminate " + otherId);

        QVERIFY(QFile::remove(path));
        DiagnosticLog(path, launchId, 0.0).ensureLogFile();
        QCOMPARE(QFileInfo(path).size(), 0);

        // A folder in the file's place cannot be opened for writing, even by root.
        QVERIFY(QFile::remove(path) && QDir().mkpath(path));
        DiagnosticLog(path, launchId, 0.0).write("app_launch");
        QVERIFY(QFileInfo(path).isDir());

        // A relative state folder is not followed.
        qputenv("XDG_STATE_HOME", "relative/state");
        QCOMPARE(defaultLogFilePath(), QDir::homePath() + "/.local/state/OrvantaPrint.log");
        qunsetenv("XDG_STATE_HOME");
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
