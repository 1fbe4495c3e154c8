// Start at login through the autostart entry, and the removal of the legacy
// agent service at launch.
#include "platform/LegacyInstall.h"
#include "platform/linux/LoginItemLinux.h"
#include "support/AppHarness.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTest>

using namespace kestrel;
using namespace kestrel::test;

namespace {

// Disabling and stopping the service, then, with its file gone, a reload.
const QByteArray oneCall = "[--user][disable][--now][ru.orvanta.print-agent.service]\n"
                           "[--user][daemon-reload]\n";
// A stand-in for the service tool: records its arguments, makes some noise.
const QString recorder =
    "#!/bin/sh\ncd \"${0%/*}\"\nfor a; do printf '[%s]' \"$a\"; done >> calls\n"
    "echo >> calls\necho noise\n";

} // namespace

class LoginTest : public QObject {
    Q_OBJECT

private slots:
    void legacyInstall_data() {
        QTest::addColumn<QString>("inPlace"); // of the service file
        QTest::addColumn<bool>("again");      // the next launch's result
        QTest::addColumn<QString>("tool");    // null: there is no such tool
        QTest::addColumn<int>("calls");
        QTest::newRow("nothing installed") << "" << false << "exit 0" << 0;
        QTest::newRow("installed") << "file" << false << "exit 0" << 1;
        QTest::newRow("tool fails") << "file" << false << "exit 5" << 1;
        QTest::newRow("no tool") << "file" << false << QString() << 0;
        // A non-empty folder in the file's place stops anyone, root too.
        QTest::newRow("file cannot be deleted") << "folder" << true << "exit 0" << 2;
    }

    void legacyInstall() {
        QFETCH(QString, inPlace);
        QFETCH(QString, tool);
        QFETCH(bool, again);
        QFETCH(int, calls);
        AppHarness harness;
        const QString file =
            harness.home.filePath(".config/systemd/user/ru.orvanta.print-agent.service");
        LegacyInstall& install = harness.legacyInstall;
        install = legacyInstallFor(HostOs::Linux, UserFolders::current());
        QCOMPARE(install.serviceFile, file);
        install.program = tool.isNull() ? "/nonexistent/systemctl"
                                        : writeFile(harness.home.filePath("systemctl"),
                                                    (recorder + tool).toUtf8(), true);
        QVERIFY(QDir().mkpath(inPlace == "folder" ? file + "/keep" : QFileInfo(file).path()));
        QVERIFY(inPlace != "file" || QFile(file).open(QIODevice::WriteOnly));
        // The link enabling it at login, which the stand-in tool leaves in place.
        const QString link =
            QFileInfo(file).path() + "/default.target.wants/" + QFileInfo(file).fileName();
        QVERIFY(QDir().mkpath(QFileInfo(link).path()) && QFile::link(file, link));

        harness.launch();
        const bool migrated = !inPlace.isEmpty();
        QCOMPARE(harness.events().mid(1, 2).join(' '),
                 QString("legacy_check_begin legacy_check_end migrated=%1")
                     .arg(migrated ? "true" : "false"));
        // The bundle has no agent: its first start reports it missing.
        QTRY_VERIFY(harness.logged("helper_missing"));
        QVERIFY(harness.elapsedOf("helper_missing") - harness.elapsedOf("legacy_check_end") >=
                (migrated ? 0.69 : 0.09));
        QCOMPARE(stopLegacyAgent(install), again);
        QCOMPARE(fileContents(harness.home.filePath("calls")), oneCall.repeated(calls));
        QCOMPARE(QFileInfo::exists(file), inPlace == "folder");
        QCOMPARE(QFileInfo(link).isSymLink(), inPlace.isEmpty());
    }

    void entryStartsThisExecutable_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("spaces, quotes") << "My Apps/it's \"here\" `tick`/KestrelAgent";
        QTest::newRow("dollar, backslash, operators") << "$HOME \\n\\\\ a;b&c|d<e>(g)*?#~/Agent";
        QTest::newRow("percent, cyrillic") << "100% Агент/%f %%u/KestrelAgent";
    }

    void entryStartsThisExecutable() {
        QFETCH(QString, path);
        QTemporaryDir dir;
        const QString executable =
            writeFile(dir.filePath(path), "#!/bin/sh\nprintf '%s' \"$0\" > started", true);
        LoginItemLinux item(executable, dir.filePath("autostart"));
        QCOMPARE(item.setRegistered(true), std::nullopt);
        if (!QStandardPaths::findExecutable("desktop-file-validate").isEmpty()) {
            QProcess validator; // its warnings and hints count too
            validator.start("desktop-file-validate", {item.entryPath()});
            QVERIFY(validator.waitForFinished());
            QCOMPARE(validator.readAllStandardOutput() + validator.readAllStandardError(), "");
        }
        // A launcher undoes the key file's escapes and "%%", then splits the
        // line by the shell's double-quote rules.
        QString exec = QString::fromUtf8(fileContents(item.entryPath())).section("\nExec=", 1);
        exec = exec.section('\n', 0, 0).replace("\\\\", "\\").replace("%%", "%");
        QProcess::execute("/bin/sh", {"-c", "cd \"$0\" && exec " + exec, dir.path()});
        QCOMPARE(fileContents(dir.filePath("started")), executable.toUtf8());

        QCOMPARE(item.setRegistered(false), std::nullopt);
        QVERIFY(!QFileInfo::exists(item.entryPath()));
        QVERIFY(QDir().mkpath(item.entryPath() + "/keep")); // a folder in its place stops anyone
        QVERIFY(item.setRegistered(true).value_or("").contains(item.entryPath()));
    }

    void editedEntryReadsAsOff_data() {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("replacement");
        QTest::newRow("hidden") << "^Type=" << false << "Hidden = true\nType=";
        QTest::newRow("not hidden") << "^Type=" << true << "Hidden=false\nType=";
        QTest::newRow("elsewhere") << "^Exec=.*$" << false << "Exec=/opt/Agent";
        QTest::newRow("not ours") << "^X-.*$" << false << "";
        QTest::newRow("mark in another group") << "^(X-.*)$" << false << "[Desktop Action a]\n\\1";
    }

    void editedEntryReadsAsOff() {
        QFETCH(QString, pattern);
        QFETCH(QString, replacement);
        QFETCH(bool, enabled);
        QTemporaryDir dir;
        LoginItemLinux item(writeFile(dir.filePath("Agent"), "#!/bin/sh", true),
                            dir.filePath("autostart"));
        QCOMPARE(item.setRegistered(true), std::nullopt);
        const QString clean = QString::fromUtf8(fileContents(item.entryPath()));
        const QString edited = QString(clean).replace(
            QRegularExpression(pattern, QRegularExpression::MultilineOption), replacement);
        QVERIFY(edited != clean);
        writeFile(item.entryPath(), edited.toUtf8());
        QCOMPARE(item.status() == LoginItem::Status::Enabled, enabled);
    }

    void checkboxShowsTheRealStateAndExplainsFailures() {
        AppHarness harness;
        QCheckBox* const box = harness.launch().window()->loginItemButton();
        const QStringList linesBefore = harness.logLines();
        box->click();
        QVERIFY(box->isChecked());
        QCOMPARE(harness.logLines(), linesBefore); // success is silent

        harness.loginItem->failure = "Операция не разрешена.";
        box->click();
        QVERIFY(box->isChecked());
        QCOMPARE(harness.presenter->alerts.size(), 1);
        QCOMPARE(harness.presenter->alerts[0].title, "Не удалось изменить автозапуск");
        QCOMPARE(harness.presenter->alerts[0].message,
                 "Проверьте права на папку автозапуска и повторите попытку.\n\n"
                 "Операция не разрешена.");
    }
};

QTEST_MAIN(LoginTest)
#include "tst_login.moc"
