#include "support/AppHarness.h"
#include "ui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QStringListModel>
#include <QSystemTrayIcon>
#include <QTest>

using namespace kestrel;
using namespace kestrel::test;

namespace {

QColor textColor(const QLabel* label) {
    return label->palette().color(QPalette::WindowText);
}

QList<QAction*> menuEntries(const AppDelegate& delegate) {
    return delegate.trayMenu()->actions();
}

} // namespace

class TestShell : public QObject {
    Q_OBJECT

private slots:
    void launchWritesItsLinesInOrder() {
        AppHarness harness;
        harness.launch();
        const QStringList events = harness.events();
        QVERIFY(events.size() >= 3);
        QVERIFY2(events[0].startsWith(QStringLiteral("app_launch version=1.0.0 os=")),
                 qPrintable(events[0]));
        QVERIFY(events[0].endsWith(QStringLiteral(" pid=") +
                                   QString::number(QCoreApplication::applicationPid())));
        QCOMPARE(events[1], QStringLiteral("legacy_check_begin"));
        QCOMPARE(events[2], QStringLiteral("legacy_check_end migrated=false"));
        const QRegularExpression shape(QStringLiteral(
            R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z APP launch=[0-9A-F-]{36} elapsed_s=\d+\.\d{3} )"));
        for (const QString& line : harness.logLines())
            QVERIFY2(shape.match(line).hasMatch(), qPrintable(line));
        QVERIFY(harness.logLines().first().contains(harness.delegate->launchId()));
    }

    void firstAgentStartFollowsAfterATenthOfASecond() {
        AppHarness harness;
        harness.launch();
        // The bundle has no agent, so the delayed first start reports it missing.
        QVERIFY(!harness.logged(QStringLiteral("helper_missing")));
        QTRY_VERIFY_WITH_TIMEOUT(harness.logged(QStringLiteral("helper_missing")), 2000);
        const double delay = harness.elapsedOf(QStringLiteral("helper_missing")) -
                             harness.elapsedOf(QStringLiteral("legacy_check_end"));
        QVERIFY2(delay >= 0.09 && delay < 0.6, qPrintable(QString::number(delay)));
    }

    void windowHasItsTextsAndFixedSize() {
        QStringListModel printers;
        MainWindow window(QStringLiteral("2.3.4"), QStringLiteral("Mac с процессором M"),
                          &printers);
        QCOMPARE(window.windowTitle(), QStringLiteral("Агент KESTREL 2.3.4"));
        QCOMPARE(window.size(), QSize(620, 780));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QCOMPARE(window.statusTitle()->text(), QStringLiteral("Служба запускается…"));
        QCOMPARE(window.statusDetails()->text(),
                 QStringLiteral("Проверяем локальное подключение и очередь macOS."));
        QCOMPARE(window.statusDot()->text(), QStringLiteral("●"));
        QCOMPARE(textColor(window.statusDot()), statusQColor(StatusColor::Orange, QPalette()));
        QCOMPARE(window.signingDetails()->text(),
                 QStringLiteral("Подпись: подключите агент в разделе «Интеграции» кабинета."));
        QCOMPARE(window.signingButton()->text(), QStringLiteral("Настроить в кабинете"));
        QVERIFY(!window.signingButton()->isEnabled());
        QCOMPARE(window.refreshButton()->text(), QStringLiteral("Обновить"));
        QCOMPARE(window.emptyPrintersLabel()->text(),
                 QStringLiteral("Принтеры не подключены. Подпись работает без принтера."));
        QCOMPARE(window.loginItemButton()->text(),
                 QStringLiteral("Запускать автоматически после входа в macOS"));
        QCOMPARE(window.updateLabel()->text(), QStringLiteral("Проверяем наличие обновления…"));
        QCOMPARE(window.updateButton()->text(), QStringLiteral("Проверить обновления"));
        QVERIFY(window.updateButton()->isEnabled());
        QVERIFY(window.updateProgress()->isHidden());
        QVERIFY(window.portalButton()->isDefault());
        QCOMPARE(window.logButton()->text(), QStringLiteral("Показать журнал"));
        const QString footer = QStringLiteral("Окно можно закрыть — программа останется в строке "
                                              "меню. Версия 2.3.4, Mac с процессором M.");
        bool footerFound = false;
        for (const QLabel* label : window.findChildren<QLabel*>())
            footerFound = footerFound || label->text() == footer;
        QVERIFY(footerFound);
    }

    void launchShowsTheWindowWithTheBundleVersion() {
        AppHarness harness;
        harness.writeInfoPlist(QStringLiteral("2.3.4"));
        const AppDelegate& delegate = harness.launch();
        QVERIFY(delegate.window()->isVisible());
        QCOMPARE(delegate.window()->windowTitle(), QStringLiteral("Агент KESTREL 2.3.4"));
        QVERIFY(delegate.window()->emptyPrintersLabel()->isVisible());
    }

    void versionFallsBackWithoutInfoPlist() {
        AppHarness harness;
        QVERIFY(QFile::remove(harness.config.bundlePath + QStringLiteral("/Contents/Info.plist")));
        AppDelegate& delegate = harness.launch();
        QCOMPARE(delegate.window()->windowTitle(), QStringLiteral("Агент KESTREL 0.5.5"));
        QVERIFY(harness.events().first().startsWith(QStringLiteral("app_launch version=0.5.5 ")));
    }

    void menuHasItsSevenEntries() {
        AppHarness harness;
        const AppDelegate& delegate = harness.launch();
        const QList<QAction*> entries = menuEntries(delegate);
        QCOMPARE(entries.size(), 7);
        QCOMPARE(entries[0]->text(), QStringLiteral("Открыть «Агент KESTREL»"));
        QCOMPARE(entries[1]->text(), QStringLiteral("Проверяем службу…"));
        QVERIFY(!entries[1]->isEnabled());
        QVERIFY(entries[2]->isSeparator());
        QCOMPARE(entries[3]->text(), QStringLiteral("Открыть кабинет"));
        QCOMPARE(entries[4]->text(), QStringLiteral("Показать журнал"));
        QVERIFY(entries[5]->isSeparator());
        QCOMPARE(entries[6]->text(), QStringLiteral("Завершить программу"));
        QCOMPARE(entries[6]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
        QCOMPARE(delegate.statusItem()->contextMenu(), delegate.trayMenu());
    }

    void menuActionsReachTheDesktop() {
        AppHarness harness;
        const AppDelegate& delegate = harness.launch();
        menuEntries(delegate)[3]->trigger();
        QCOMPARE(harness.desktop->opened, QList<QUrl>{harness.config.portalUrl});
        QFile::remove(harness.logPath());
        menuEntries(delegate)[4]->trigger();
        // Showing the log recreates a deleted file before revealing it.
        QCOMPARE(harness.desktop->revealed, QStringList{harness.logPath()});
        QVERIFY(QFileInfo(harness.logPath()).isFile());
    }

    void closingHidesAndTheMenuBringsTheWindowBack() {
        AppHarness harness;
        const AppDelegate& delegate = harness.launch();
        MainWindow* window = delegate.window();
        QVERIFY(window->close());
        QVERIFY(!window->isVisible());
        QCOMPARE(delegate.window(), window);
        const int activations = harness.desktop->activations;
        menuEntries(delegate)[0]->trigger();
        QVERIFY(window->isVisible());
        QCOMPARE(harness.desktop->activations, activations + 1);
    }

    void statusPresentationReachesWindowMenuAndTray() {
        AppHarness harness;
        AppDelegate& delegate = harness.launch();
        delegate.updateStatus(true, StatusColor::Green, QStringLiteral("Агент работает"),
                              QStringLiteral("Версия 1.0.0 · x86_64 · устройство D"));
        QVERIFY(delegate.state().isAgentReady);
        QCOMPARE(delegate.state().statusColor, StatusColor::Green);
        QCOMPARE(delegate.window()->statusTitle()->text(), QStringLiteral("Агент работает"));
        QCOMPARE(menuEntries(delegate)[1]->text(), QStringLiteral("Агент работает"));
        QCOMPARE(delegate.window()->statusDot()->accessibleName(),
                 QStringLiteral("Агент работает"));
        QCOMPARE(textColor(delegate.window()->statusDot()),
                 statusQColor(StatusColor::Green, QPalette()));
    }

    void installLocationAlert_data() {
        QTest::addColumn<QString>("bundleFolder");
        QTest::addColumn<bool>("alerted");
        QTest::newRow("mounted image") << "/Volumes/KESTREL Agent/KestrelAgent.app" << true;
        QTest::newRow("volumes without slash") << "/VolumesExtra/KestrelAgent.app" << false;
        QTest::newRow("bare volumes") << "/Volumes" << false;
        QTest::newRow("applications") << "/Applications/KestrelAgent.app" << false;
    }
    void installLocationAlert() {
        QFETCH(QString, bundleFolder);
        QFETCH(bool, alerted);
        AppHarness harness;
        harness.config.bundlePath = bundleFolder;
        AppDelegate& delegate = harness.launch();
        QCOMPARE(harness.presenter->alerts.size(), alerted ? 1 : 0);
        if (alerted) {
            QCOMPARE(harness.presenter->alerts[0].title, QStringLiteral("Переместите программу"));
            QCOMPARE(harness.presenter->alerts[0].message,
                     QStringLiteral("Перетащите «Агент KESTREL» из образа диска в папку "
                                    "«Программы», затем откройте установленную копию."));
        }
        // The launch goes on either way.
        QVERIFY(delegate.window()->isVisible());
        QVERIFY(harness.wake->started);
    }

    void wakeIsHandledOnlyBeforeQuitting() {
        AppHarness harness;
        AppDelegate& delegate = harness.launch();
        harness.wake->wake();
        QVERIFY(harness.events().contains(QStringLiteral("system_wake")));
        QVERIFY(delegate.state().resumeCheckPending);

        delegate.applicationWillTerminate();
        QVERIFY(!harness.wake->started);
        const int before = harness.events().size();
        harness.wake->wake();
        delegate.resumeAfterSleep();
        QCOMPARE(harness.events().size(), before);
        QCOMPARE(harness.events().last(), QStringLiteral("app_terminate"));
    }

    void shutdownIsWrittenOnce() {
        AppHarness harness;
        AppDelegate& delegate = harness.launch();
        delegate.applicationWillTerminate();
        delegate.applicationWillTerminate();
        QVERIFY(delegate.state().isQuitting);
        QCOMPARE(harness.events().count(QStringLiteral("app_terminate")), 1);
        // The delayed first start must not run after quitting.
        QTest::qWait(300);
        QVERIFY(!harness.logged(QStringLiteral("helper_missing")));
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
