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

class LoginTest : public QObject {
    Q_OBJECT

private slots:
    void legacyInstall() {
        // Disabling and stopping the service, then, with its file gone, a reload.
        const QByteArray oneCall = "[--user][disable][--now][ru.orvanta.print-agent.service]\n"
                                   "[--user][daemon-reload]\n";
        // A stand-in for the service tool: records its arguments, makes some noise.
        const QString recorder =
            "#!/bin/sh\ncd \"${0%/*}\"\nfor a; do printf '[%s]' \"$a\"; done >> calls\n"
            "echo >> calls\necho noise\n";
        // Where the service file was (a non-empty folder in its place stops anyone, root too,
        // so the next launch tries again), the service tool (null: none) and the calls it gets.
        using Row = std::tuple<QString, QString, int>;
        for (const auto& [inPlace, tool, calls] :
             std::initializer_list<Row>{{"", "exit 0", 0},
                                        {"file", "exit 0", 1},
                                        {"file", "exit 5", 1},
                                        {"file", {}, 0},
                                        {"folder", "exit 0", 2}}) {
            AppHarness harness;
            const QString file =
                harness.home.filePath(".config/systemd/user/ru.orvanta.print-agent.service");
            LegacyInstall& install = harness.legacyInstall;
            install = legacyInstallFor(HostOs::Linux, UserFolders::current());
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
            QCOMPARE(stopLegacyAgent(install), inPlace == "folder");
            QCOMPARE(fileContents(harness.home.filePath("calls")), oneCall.repeated(calls));
            QCOMPARE(QFileInfo::exists(file), inPlace == "folder");
            QCOMPARE(QFileInfo(link).isSymLink(), inPlace.isEmpty());
        }
    }

    void entryStartsThisExecutableAndHandEditsTurnItOff() {
        for (const QString path :
             {"My Apps/it's \"here\" `tick`/KestrelAgent", "$HOME \\n\\\\ a;b&c|d<e>(g)*?#~/Agent",
              "100% Агент/%f %%u/KestrelAgent"}) {
            QTemporaryDir dir;
            const QString executable = writeFile(
                dir.filePath(path), "#!/bin/sh\nprintf '%s' \"$0\" \"$@\" > started", true);
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
            const QString clean = QString::fromUtf8(fileContents(item.entryPath()));
            QString exec = clean.section("\nExec=", 1).section('\n', 0, 0);
            exec = exec.replace("\\\\", "\\").replace("%%", "%");
            QProcess::execute("/bin/sh", {"-c", "cd \"$0\" && exec " + exec, dir.path()});
            QCOMPARE(fileContents(dir.filePath("started")), executable.toUtf8());
            // Hand edits that turn it off, or leave it on.
            for (const auto& [pattern, enabled, replacement] :
                 {std::tuple{"^Type=", false, "Hidden = true\nType="},
                  {"^Type=", true, "Hidden=false\nType="},
                  {"^Exec=.*$", false, "Exec=/opt/Agent"},
                  {"^X-.*$", false, ""}, // not ours
                  {"^(X-.*)$", false, "[Desktop Action a]\n\\1"}}) {
                const QString edited = QString(clean).replace(
                    QRegularExpression(pattern, QRegularExpression::MultilineOption), replacement);
                QVERIFY(edited != clean);
                writeFile(item.entryPath(), edited.toUtf8());
                QVERIFY2((item.status() == LoginItem::Status::Enabled) == enabled, replacement);
            }

            QCOMPARE(item.setRegistered(false), std::nullopt);
            QVERIFY(!QFileInfo::exists(item.entryPath()));
            // A folder in its place stops anyone.
            QVERIFY(QDir().mkpath(item.entryPath() + "/keep"));
            QVERIFY(item.setRegistered(true).value_or("").contains(item.entryPath()));
        }
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
        QCOMPARE(harness.presenter->alerts.join(""),
                 "Не удалось изменить автозапуск: Проверьте права на папку автозапуска и "
                 "повторите попытку.\n\nОперация не разрешена.");
    }
};

QTEST_MAIN(LoginTest)
#include "tst_login.moc"
