#include "platform/linux/LoginItemLinux.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrel;

namespace {

bool writeFile(const QString& path, const QByteArray& contents) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QString readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// desktop-file-validate's verdict: empty when the entry is valid.
QString validationProblems(const QString& path) {
    QProcess validator;
    validator.setProcessChannelMode(QProcess::MergedChannels);
    validator.start(QStringLiteral("desktop-file-validate"), {path});
    if (!validator.waitForFinished(30'000)) {
        return QStringLiteral("desktop-file-validate did not finish");
    }
    const QString output = QString::fromUtf8(validator.readAll()).trimmed();
    if (validator.exitStatus() != QProcess::NormalExit || validator.exitCode() != 0) {
        return output.isEmpty() ? QStringLiteral("rejected") : output;
    }
    return output; // warnings and hints count as problems too
}

// A key file string value as readers decode it; nothing for an escape that
// the format does not define.
std::optional<QString> keyFileUnescape(const QString& value) {
    QString plain;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != u'\\') {
            plain += value[i];
            continue;
        }
        if (++i == value.size()) {
            return std::nullopt;
        }
        const QChar c = value[i];
        if (c == u's') {
            plain += u' ';
        } else if (c == u'n') {
            plain += u'\n';
        } else if (c == u't') {
            plain += u'\t';
        } else if (c == u'r') {
            plain += u'\r';
        } else if (c == u'\\') {
            plain += u'\\';
        } else {
            return std::nullopt;
        }
    }
    return plain;
}

// Field-code expansion for a launch without files or URLs: "%%" is a
// percent sign, any other code vanishes.
QString expandWithoutFiles(const QString& command) {
    QString expanded;
    for (qsizetype i = 0; i < command.size(); ++i) {
        if (command[i] != u'%') {
            expanded += command[i];
        } else if (++i < command.size() && command[i] == u'%') {
            expanded += u'%';
        }
    }
    return expanded;
}

} // namespace

class LoginItemLinuxTest : public QObject {
    Q_OBJECT

private slots:
    void init();

    void registersAndUnregisters();
    void entryPassesTheValidator();
    void execStartsTheExecutable_data();
    void execStartsTheExecutable();
    void editedEntriesReadAsOff_data();
    void editedEntriesReadAsOff();
    void failuresAreDescribed();

private:
    QString autostartFolder() const { return m_dir->filePath(QStringLiteral("config/autostart")); }
    // A real program at `path` that, once started, writes its own path to
    // the file named by MARKER.
    bool makeExecutable(const QString& path);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_executable;
};

void LoginItemLinuxTest::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_executable = m_dir->filePath(QStringLiteral("KestrelAgent.app/Contents/MacOS/KestrelAgent"));
    QVERIFY(makeExecutable(m_executable));
}

bool LoginItemLinuxTest::makeExecutable(const QString& path) {
    return QDir().mkpath(QFileInfo(path).path()) &&
           writeFile(path, "#!/bin/sh\nprintf '%s' \"$0\" > \"$MARKER\"\n") &&
           QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void LoginItemLinuxTest::registersAndUnregisters() {
    LoginItemLinux item(m_executable, autostartFolder());
    QVERIFY(item.isSupported());
    QCOMPARE(item.status(), LoginItem::Status::NotRegistered);
    // Unregistering what is not there is no failure.
    QCOMPARE(item.setRegistered(false), std::nullopt);

    // The folder does not exist yet on a fresh account.
    QVERIFY(!QFileInfo::exists(autostartFolder()));
    QCOMPARE(item.setRegistered(true), std::nullopt);
    QCOMPARE(item.entryPath(), autostartFolder() + QStringLiteral("/kestrel-agent.desktop"));
    QCOMPARE(item.status(), LoginItem::Status::Enabled);
    const QString entry = readFile(item.entryPath());
    QVERIFY(entry.startsWith(QStringLiteral("[Desktop Entry]\n")));
    QVERIFY(entry.contains(QStringLiteral("\nType=Application\n")));
    QVERIFY(entry.contains(QStringLiteral("\nName=Агент KESTREL\n")));
    QVERIFY(entry.contains(QStringLiteral("\nExec=") + m_executable + u'\n'));

    // Registering twice keeps one valid entry.
    QCOMPARE(item.setRegistered(true), std::nullopt);
    QCOMPARE(readFile(item.entryPath()), entry);

    // Another copy of the application does not count as this one registered.
    LoginItemLinux otherCopy(m_dir->filePath(QStringLiteral("Other.app/KestrelAgent")),
                             autostartFolder());
    QCOMPARE(otherCopy.status(), LoginItem::Status::NotRegistered);

    QCOMPARE(item.setRegistered(false), std::nullopt);
    QVERIFY(!QFileInfo::exists(item.entryPath()));
    QCOMPARE(item.status(), LoginItem::Status::NotRegistered);
}

void LoginItemLinuxTest::entryPassesTheValidator() {
    if (QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate")).isEmpty()) {
        QSKIP("desktop-file-validate is not installed (package desktop-file-utils)");
    }
    const QString executable = m_dir->filePath(QStringLiteral("Мои программы/a \"b\" $c\\d/Agent"));
    QVERIFY(makeExecutable(executable));
    LoginItemLinux item(executable, autostartFolder());
    QCOMPARE(item.setRegistered(true), std::nullopt);
    QCOMPARE(validationProblems(item.entryPath()), QString());
}

void LoginItemLinuxTest::execStartsTheExecutable_data() {
    QTest::addColumn<QString>("relativePath");
    QTest::newRow("plain") << QStringLiteral("KestrelAgent.app/Contents/MacOS/KestrelAgent");
    QTest::newRow("spaces") << QStringLiteral("My Apps/Kestrel Agent.app/KestrelAgent");
    QTest::newRow("quote characters") << QStringLiteral("it's \"here\"/`tick`/KestrelAgent");
    QTest::newRow("dollar and backslash") << QStringLiteral("$HOME \\n\\\\/KestrelAgent");
    QTest::newRow("shell operators") << QStringLiteral("a;b&c|d<e>f(g)*?#~/KestrelAgent");
    QTest::newRow("percent and cyrillic") << QStringLiteral("100% Агент/%f %%u/KestrelAgent");
}

void LoginItemLinuxTest::execStartsTheExecutable() {
    QFETCH(QString, relativePath);
    const QString executable = m_dir->filePath(relativePath);
    QVERIFY(makeExecutable(executable));

    LoginItemLinux item(executable, autostartFolder());
    QCOMPARE(item.setRegistered(true), std::nullopt);
    QCOMPARE(item.status(), LoginItem::Status::Enabled);

    // A launcher undoes the key file's escapes, expands field codes and then
    // splits the command line by the POSIX shell's double-quote rules, so sh
    // is an independent judge of the quoting.
    const QRegularExpression execLine(QStringLiteral("^Exec=(.*)$"),
                                      QRegularExpression::MultilineOption);
    const auto match = execLine.match(readFile(item.entryPath()));
    QVERIFY(match.hasMatch());
    const auto unescaped = keyFileUnescape(match.captured(1));
    QVERIFY2(unescaped, "invalid escape sequence in Exec");
    const QString commandLine = expandWithoutFiles(*unescaped);

    const QString marker = m_dir->filePath(QStringLiteral("started"));
    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MARKER"), marker);
    shell.setProcessEnvironment(environment);
    shell.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), QStringLiteral("exec ") + commandLine});
    QVERIFY(shell.waitForFinished(30'000));
    QCOMPARE(shell.exitCode(), 0);
    QCOMPARE(readFile(marker), executable);
}

void LoginItemLinuxTest::editedEntriesReadAsOff_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("hidden by the desktop")
        << QStringLiteral("\n$") << QStringLiteral("\nHidden=true\n") << false;
    QTest::newRow("hidden, spaced")
        << QStringLiteral("^Type=") << QStringLiteral("Hidden = true\nType=") << false;
    QTest::newRow("hidden=false") << QStringLiteral("\n$") << QStringLiteral("\nHidden=false\n")
                                  << true;
    QTest::newRow("points elsewhere")
        << QStringLiteral("^Exec=.*$") << QStringLiteral("Exec=/opt/other/KestrelAgent") << false;
    QTest::newRow("path as prefix")
        << QStringLiteral("^Exec=(.*)$") << QStringLiteral("Exec=\\1.old") << false;
    QTest::newRow("arguments added")
        << QStringLiteral("^Exec=(.*)$") << QStringLiteral("Exec=\\1 --minimized") << true;
    QTest::newRow("broken quoting")
        << QStringLiteral("^Exec=(.*)$") << QStringLiteral("Exec=\"\\1") << false;
    QTest::newRow("not ours") << QStringLiteral("^X-Kestrel-Login-Item=true$") << QString()
                              << false;
    QTest::newRow("key in another group") << QStringLiteral("^(X-Kestrel-Login-Item=true)$")
                                          << QStringLiteral("[Desktop Action extra]\n\\1") << false;
}

void LoginItemLinuxTest::editedEntriesReadAsOff() {
    QFETCH(QString, pattern);
    QFETCH(QString, replacement);
    QFETCH(bool, enabled);

    LoginItemLinux item(m_executable, autostartFolder());
    QCOMPARE(item.setRegistered(true), std::nullopt);
    QString entry = readFile(item.entryPath());
    const QString before = entry;
    entry.replace(QRegularExpression(pattern, QRegularExpression::MultilineOption), replacement);
    QVERIFY(entry != before);
    QVERIFY(writeFile(item.entryPath(), entry.toUtf8()));

    QCOMPARE(item.status() == LoginItem::Status::Enabled, enabled);

    // Checking the box again restores a clean entry.
    QCOMPARE(item.setRegistered(true), std::nullopt);
    QCOMPARE(item.status(), LoginItem::Status::Enabled);
    QCOMPARE(readFile(item.entryPath()), before);
}

void LoginItemLinuxTest::failuresAreDescribed() {
    // Tests run as root, whom folder permissions do not stop; these fail for
    // any user.
    {
        QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral("config"))));
        QVERIFY(writeFile(autostartFolder(), "a file where the folder should be"));
        LoginItemLinux item(m_executable, autostartFolder());
        const auto error = item.setRegistered(true);
        QVERIFY(error);
        QVERIFY2(error->contains(autostartFolder()), qPrintable(*error));
        QCOMPARE(item.status(), LoginItem::Status::NotRegistered);
        QVERIFY(QFile::remove(autostartFolder()));
    }
    {
        LoginItemLinux item(m_executable, autostartFolder());
        QVERIFY(QDir().mkpath(item.entryPath()));
        QVERIFY(writeFile(item.entryPath() + QStringLiteral("/keep"), "x"));

        const auto registerError = item.setRegistered(true);
        QVERIFY(registerError);
        QVERIFY2(registerError->contains(item.entryPath()), qPrintable(*registerError));
        const auto unregisterError = item.setRegistered(false);
        QVERIFY(unregisterError);
        QVERIFY2(unregisterError->contains(item.entryPath()), qPrintable(*unregisterError));
        QCOMPARE(item.status(), LoginItem::Status::NotRegistered);
        QVERIFY(QFileInfo::exists(item.entryPath() + QStringLiteral("/keep")));
    }
    {
        const QString folder = m_dir->filePath(QStringLiteral("other/autostart"));
        LoginItemLinux item(QStringLiteral("KestrelAgent"), folder);
        QVERIFY(item.setRegistered(true));
        QVERIFY(!QFileInfo::exists(item.entryPath()));
    }
}

QTEST_GUILESS_MAIN(LoginItemLinuxTest)
#include "tst_login_item_linux.moc"
