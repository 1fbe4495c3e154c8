#include "platform/LegacyInstall.h"
#include "platform/linux/LoginItemLinux.h"
#include "support/AppHarness.h"
#include "ui/MainWindow.h"

#include <QCheckBox>
#include <QTest>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString alertTitle = QStringLiteral("Не удалось изменить автозапуск");
const QString alertPrefix =
    QStringLiteral("Переместите программу в папку «Программы» и повторите попытку.\n\n");

QString autostartFolder() {
    return UserFolders::current().configHome + QStringLiteral("/autostart");
}

// The harness's controller, but with the real autostart entry of this test
// executable instead of the fake login item.
AppDelegate& launchWithAutostartEntry(AppHarness& harness) {
    PlatformServices services;
    services.desktop = std::make_unique<RecordingDesktop>();
    services.loginItem = std::make_unique<LoginItemLinux>(QCoreApplication::applicationFilePath(),
                                                          autostartFolder());
    services.networkFactory = std::make_unique<DefaultNetworkFactory>();
    services.legacyInstall = harness.legacyInstall;
    services.logFilePath = harness.logPath();
    services.downloadsFolder = harness.downloadsFolder();
    auto presenter = std::make_unique<RecordingPresenter>();
    harness.presenter = presenter.get();
    harness.delegate =
        std::make_unique<AppDelegate>(harness.config, std::move(services), std::move(presenter));
    return harness.launch();
}

bool thisExecutableStartsAtLogin() {
    return LoginItemLinux(QCoreApplication::applicationFilePath(), autostartFolder()).status() ==
           LoginItem::Status::Enabled;
}

} // namespace

class LoginControllerTest : public QObject {
    Q_OBJECT

private slots:
    void legacyInstallDelaysTheFirstAgentStart();
    void checkboxWritesAndRemovesTheEntry();
    void failedRegistrationShowsTheReasonAndTheRealState();
    void failedUnregistrationPutsTheCheckMarkBack();
    void unsupportedSystemDisablesTheCheckbox();
};

void LoginControllerTest::legacyInstallDelaysTheFirstAgentStart() {
    AppHarness harness;
    harness.legacyInstall = legacyInstallFor(HostOs::Linux, UserFolders::current());
    const QString calls = harness.home.filePath(QStringLiteral("calls"));
    harness.legacyInstall.program = harness.home.filePath(QStringLiteral("systemctl"));
    QFile tool(harness.legacyInstall.program);
    QVERIFY(tool.open(QIODevice::WriteOnly));
    tool.write("#!/bin/sh\nfor a; do printf '[%s]' \"$a\"; done >> \"" + calls.toUtf8() +
               "\"\necho >> \"" + calls.toUtf8() + "\"\nexit 1\n");
    tool.close();
    QVERIFY(tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QDir().mkpath(QFileInfo(harness.legacyInstall.serviceFile).path()));
    QFile service(harness.legacyInstall.serviceFile);
    QVERIFY(service.open(QIODevice::WriteOnly));
    service.close();

    harness.launch();
    const QStringList events = harness.events();
    QCOMPARE(events.mid(1, 2), QStringList({QStringLiteral("legacy_check_begin"),
                                            QStringLiteral("legacy_check_end migrated=true")}));
    QFile record(calls);
    QVERIFY(record.open(QIODevice::ReadOnly));
    QCOMPARE(record.readAll(), QByteArray("[--user][stop][ru.orvanta.print-agent.service]\n"));
    QVERIFY(!QFileInfo::exists(harness.legacyInstall.serviceFile));

    // The bundle has no agent, so the delayed first start reports it missing.
    QTRY_VERIFY_WITH_TIMEOUT(harness.logged(QStringLiteral("helper_missing")), 3000);
    const double delay = harness.elapsedOf(QStringLiteral("helper_missing")) -
                         harness.elapsedOf(QStringLiteral("legacy_check_end"));
    QVERIFY2(delay >= 0.69 && delay < 1.5, qPrintable(QString::number(delay)));
}

void LoginControllerTest::checkboxWritesAndRemovesTheEntry() {
    AppHarness harness;
    QCheckBox* const box = launchWithAutostartEntry(harness).window()->loginItemButton();
    QVERIFY(box->isEnabled());
    QVERIFY(!box->isChecked());
    const QStringList linesBefore = harness.logLines();

    box->click();
    QVERIFY(box->isChecked());
    QVERIFY(thisExecutableStartsAtLogin());

    box->click();
    QVERIFY(!box->isChecked());
    QVERIFY(!thisExecutableStartsAtLogin());
    QVERIFY(QDir(autostartFolder()).isEmpty());

    // Success is silent.
    QCOMPARE(harness.logLines(), linesBefore);
    QVERIFY(harness.presenter->alerts.isEmpty());

    // The box shows what the entry says, not what was last clicked: a
    // desktop that hid the entry turns it off.
    box->click();
    QFile entry(autostartFolder() + QStringLiteral("/kestrel-agent.desktop"));
    QVERIFY(entry.open(QIODevice::Append));
    entry.write("Hidden=true\n");
    entry.close();
    harness.delegate->updateLoginItemState();
    QVERIFY(!box->isChecked());
}

void LoginControllerTest::failedRegistrationShowsTheReasonAndTheRealState() {
    AppHarness harness;
    // Folder permissions do not stop root, who runs CI; a file in the
    // folder's place stops everyone.
    QVERIFY(QDir().mkpath(UserFolders::current().configHome));
    QFile blocker(autostartFolder());
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const auto reason = LoginItemLinux(QCoreApplication::applicationFilePath(), autostartFolder())
                            .setRegistered(true);
    QVERIFY(reason && reason->contains(autostartFolder()));

    QCheckBox* const box = launchWithAutostartEntry(harness).window()->loginItemButton();
    const QStringList linesBefore = harness.logLines();
    box->click();

    QVERIFY(!box->isChecked());
    QCOMPARE(harness.presenter->alerts.size(), 1);
    QCOMPARE(harness.presenter->alerts[0].title, alertTitle);
    QCOMPARE(harness.presenter->alerts[0].message, alertPrefix + *reason);
    QCOMPARE(harness.logLines(), linesBefore);
}

void LoginControllerTest::failedUnregistrationPutsTheCheckMarkBack() {
    AppHarness harness;
    harness.create();
    harness.loginItem->current = LoginItem::Status::Enabled;
    harness.loginItem->failure = QStringLiteral("Операция не разрешена.");
    QCheckBox* const box = harness.launch().window()->loginItemButton();
    QVERIFY(box->isChecked());

    box->click();
    QVERIFY(box->isChecked());
    // Putting the mark back is not a second request.
    QCOMPARE(harness.loginItem->requests, QList<bool>{false});
    QCOMPARE(harness.presenter->alerts.size(), 1);
    QCOMPARE(harness.presenter->alerts[0].message,
             alertPrefix + QStringLiteral("Операция не разрешена."));
}

void LoginControllerTest::unsupportedSystemDisablesTheCheckbox() {
    AppHarness harness;
    harness.create();
    harness.loginItem->supported = false;
    harness.loginItem->current = LoginItem::Status::Enabled;
    QCheckBox* const box = harness.launch().window()->loginItemButton();
    QVERIFY(!box->isChecked());
    QVERIFY(!box->isEnabled());
    QCOMPARE(box->toolTip(),
             QStringLiteral("Автозапуск из приложения поддерживается начиная с macOS 13."));

    box->setChecked(true);
    harness.delegate->toggleLoginItem(true);
    QVERIFY(!box->isChecked());
    QVERIFY(harness.loginItem->requests.isEmpty());
    QVERIFY(harness.presenter->alerts.isEmpty());
}

QTEST_MAIN(LoginControllerTest)
#include "tst_login_controller.moc"
