#include "platform/linux/LoginItemLinux.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrel;

namespace {

QString readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool writeFile(const QString& path, const QString& text) {
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(text.toUtf8()) >= 0;
}

// The command line a launcher builds from an Exec value: the key file's
// escapes undone (an undefined escape is an error), then field codes
// expanded for a launch without files ("%%" is "%", other codes vanish).
std::optional<QString> launcherCommandLine(const QString& exec) {
    QString line;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        if (exec[i] == u'\\') {
            const qsizetype code = ++i < exec.size() ? QStringView(u"s\\ntr").indexOf(exec[i]) : -1;
            if (code < 0) {
                return std::nullopt;
            }
            line += QStringView(u" \\\n\t\r")[code];
        } else if (exec[i] == u'%') {
            if (++i < exec.size() && exec[i] == u'%') {
                line += u'%';
            }
        } else {
            line += exec[i];
        }
    }
    return line;
}

} // namespace

class LoginItemLinuxTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void entryPassesTheValidator();
    void execStartsTheExecutable_data();
    void execStartsTheExecutable();
    void editedEntriesReadAsOff_data();
    void editedEntriesReadAsOff();
    void onlyWhatStaysIsAFailure();

private:
    QString folder() const { return m_dir->filePath(QStringLiteral("config/autostart")); }
    // A program at `path` that, once started, writes its own path to ./started.
    QString makeExecutable(const QString& relativePath) const {
        const QString path = m_dir->filePath(relativePath);
        writeFile(path, QStringLiteral("#!/bin/sh\nprintf '%s' \"$0\" > started\n"));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_executable;
};

void LoginItemLinuxTest::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QDir::setCurrent(m_dir->path());
    m_executable = makeExecutable(QStringLiteral("KestrelAgent.app/Contents/MacOS/KestrelAgent"));
}

void LoginItemLinuxTest::entryPassesTheValidator() {
    if (QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate")).isEmpty()) {
        QSKIP("desktop-file-validate is missing; scripts/install-deps installs desktop-file-utils");
    }
    LoginItemLinux item(makeExecutable(QStringLiteral("Мои программы/a \"b\" $c\\d 100%/Agent")),
                        folder());
    QCOMPARE(item.setRegistered(true), std::nullopt);
    QVERIFY(readFile(item.entryPath()).contains(QStringLiteral("\nName=Агент KESTREL\n")));
    QProcess validator;
    validator.setProcessChannelMode(QProcess::MergedChannels);
    validator.start(QStringLiteral("desktop-file-validate"), {item.entryPath()});
    QVERIFY(validator.waitForFinished(30'000));
    // Warnings and hints count as failures too.
    QCOMPARE(QString::fromUtf8(validator.readAll()), QString());
    QCOMPARE(validator.exitCode(), 0);
}

void LoginItemLinuxTest::execStartsTheExecutable_data() {
    QTest::addColumn<QString>("relativePath");
    QTest::newRow("spaces") << QStringLiteral("My Apps/Kestrel Agent.app/KestrelAgent");
    QTest::newRow("quotes") << QStringLiteral("it's \"here\"/`tick`/KestrelAgent");
    QTest::newRow("dollar, backslash") << QStringLiteral("$HOME \\n\\\\/KestrelAgent");
    QTest::newRow("shell operators") << QStringLiteral("a;b&c|d<e>f(g)*?#~/KestrelAgent");
    QTest::newRow("percent, cyrillic") << QStringLiteral("100% Агент/%f %%u/KestrelAgent");
}

void LoginItemLinuxTest::execStartsTheExecutable() {
    QFETCH(QString, relativePath);
    const QString executable = makeExecutable(relativePath);
    LoginItemLinux item(executable, folder());
    QCOMPARE(item.setRegistered(true), std::nullopt);
    QCOMPARE(item.status(), LoginItem::Status::Enabled);

    // Launchers split the command line by the POSIX shell's double-quote
    // rules, so sh is an independent judge of the quoting.
    const auto exec =
        QRegularExpression(QStringLiteral("^Exec=(.*)$"), QRegularExpression::MultilineOption)
            .match(readFile(item.entryPath()));
    const auto commandLine = launcherCommandLine(exec.captured(1));
    QVERIFY2(exec.hasMatch() && commandLine, qPrintable(exec.captured(0)));
    QProcess shell;
    shell.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), QStringLiteral("exec ") + *commandLine});
    QVERIFY(shell.waitForFinished(30'000));
    QCOMPARE(readFile(QStringLiteral("started")), executable);
}

void LoginItemLinuxTest::editedEntriesReadAsOff_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("hidden") << QStringLiteral("^Type=") << QStringLiteral("Hidden = true\nType=")
                            << false;
    QTest::newRow("not hidden") << QStringLiteral("^Type=") << QStringLiteral("Hidden=false\nType=")
                                << true;
    QTest::newRow("elsewhere") << QStringLiteral("^Exec=.*$") << QStringLiteral("Exec=/opt/Agent")
                               << false;
    QTest::newRow("prefix") << QStringLiteral("^(Exec=.*)$") << QStringLiteral("\\1.old") << false;
    QTest::newRow("unclosed quote")
        << QStringLiteral("^Exec=") << QStringLiteral("Exec=\"") << false;
    QTest::newRow("not ours") << QStringLiteral("^X-.*$") << QString() << false;
    QTest::newRow("mark in another group")
        << QStringLiteral("^(X-.*)$") << QStringLiteral("[Desktop Action a]\n\\1") << false;
}

void LoginItemLinuxTest::editedEntriesReadAsOff() {
    QFETCH(QString, pattern);
    QFETCH(QString, replacement);
    QFETCH(bool, enabled);
    LoginItemLinux item(m_executable, folder());
    QCOMPARE(item.setRegistered(true), std::nullopt);
    const QString clean = readFile(item.entryPath());
    QString edited = clean;
    edited.replace(QRegularExpression(pattern, QRegularExpression::MultilineOption), replacement);
    QVERIFY(edited != clean && writeFile(item.entryPath(), edited));

    QCOMPARE(item.status() == LoginItem::Status::Enabled, enabled);
    // Checking the box again writes a clean entry.
    QCOMPARE(item.setRegistered(true), std::nullopt);
    QCOMPARE(readFile(item.entryPath()), clean);
}

void LoginItemLinuxTest::onlyWhatStaysIsAFailure() {
    LoginItemLinux item(m_executable, folder());
    QCOMPARE(item.setRegistered(false), std::nullopt); // nothing to remove

    // Permissions do not stop root, who runs CI; a folder in the entry's
    // place stops anyone.
    QVERIFY(QDir().mkpath(item.entryPath() + QStringLiteral("/keep")));
    const auto noWrite = item.setRegistered(true);
    QVERIFY(noWrite && noWrite->contains(item.entryPath()));
    const auto noRemoval = item.setRegistered(false);
    QVERIFY(noRemoval && noRemoval->contains(item.entryPath()));
}

QTEST_GUILESS_MAIN(LoginItemLinuxTest)
#include "tst_login_item_linux.moc"
