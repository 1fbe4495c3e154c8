#include "support/AppHarness.h"
#include "support/FakeAgent.h"
#include "ui/MessageBoxPresenter.h"

#include <QAction>
#include <QLayout>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QStringListModel>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

using namespace kestrel;
using namespace kestrel::test;

class TestShell : public QObject {
    Q_OBJECT

private slots:
    void launchWritesItsLinesAndStartsTheAgentATenthLater() {
        AppHarness harness;
        harness.writeInfoPlist("2.3.4");
        QCOMPARE(harness.launch().window()->windowTitle(), "Агент KESTREL 2.3.4");
        const QStringList events = harness.events();
        QVERIFY2(events[0].startsWith("app_launch version=2.3.4 os="), qPrintable(events[0]));
        QVERIFY(events[0].endsWith(" pid=" + QString::number(QCoreApplication::applicationPid())));
        QCOMPARE(events.mid(1, 2),
                 QStringList({"legacy_check_begin", "legacy_check_end migrated=false"}));
        QVERIFY(harness.logLines().first().contains(harness.delegate->launchId()));
        // The bundle has no agent, so the delayed first start reports it missing.
        QTRY_VERIFY(harness.logged("helper_missing"));
        const double delay =
            harness.elapsedOf("helper_missing") - harness.elapsedOf("legacy_check_end");
        // Late on a busy machine, but sooner than the 0.7 s meant for after a migration.
        QVERIFY2(delay >= 0.09 && delay < 0.69, qPrintable(QString::number(delay)));
        // A second launch appends to the same file under an identifier of its own.
        const QString first = harness.delegate->launchId();
        harness.delegate->applicationWillTerminate();
        harness.delegate.reset();
        harness.launch();
        const QList<OwnLine> lines = ownLines(harness.logPath());
        QVERIFY(lines.first().launchId == first && lines.last().launchId != first);
    }

    void windowStartsWithItsTexts() {
        QStringListModel printers;
        MainWindow window("2.3.4", "Linux x86-64", &printers);
        QCOMPARE(window.size(), QSize(620, 780));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QCOMPARE(
            QStringList({window.statusTitle()->text(), window.statusDetails()->text(),
                         window.signingDetails()->text(), window.signingButton()->text(),
                         window.emptyPrintersLabel()->text(), window.loginItemButton()->text(),
                         window.updateLabel()->text(), window.updateButton()->text()}),
            QStringList({"Служба запускается…", "Проверяем локальное подключение и очередь печати.",
                         "Подпись: подключите агент в разделе «Интеграции» кабинета.",
                         "Настроить в кабинете",
                         "Принтеры не подключены. Подпись работает без принтера.",
                         "Запускать автоматически после входа в систему",
                         "Проверяем наличие обновления…", "Проверить обновления"}));
        QCOMPARE(window.statusDot()->palette().color(QPalette::WindowText),
                 statusQColor(StatusColor::Orange, QPalette()));
        QVERIFY(!window.signingButton()->isEnabled() && window.updateButton()->isEnabled() &&
                window.updateProgress()->isHidden() && window.portalButton()->isDefault());
        QStringList labels;
        for (const QLabel* label : window.findChildren<QLabel*>()) {
            labels << label->text();
            QVERIFY(label->text().isEmpty() || label->textFormat() == Qt::PlainText);
        }
        QVERIFY(labels.contains("Принтеры системы"));
        // The footer reads as whole lines, with a tray to stay in and without.
        window.layout()->activate();
        for (const bool tray : {true, false}) {
            window.setTrayAvailable(tray);
            const QLabel* footer = window.footer();
            const QStringList lines = footer->text().split('\n');
            QCOMPARE(lines, QStringList({tray ? "Окно можно закрыть — программа останется в "
                                                "области уведомлений."
                                              : "Окно можно закрыть — чтобы открыть его снова, "
                                                "ещё раз запустите «Агент KESTREL».",
                                         "Версия 2.3.4, Linux x86-64."}));
            for (const QString& line : lines)
                QVERIFY2(footer->fontMetrics().horizontalAdvance(line) <=
                             footer->contentsRect().width(),
                         qPrintable(line));
            QCOMPARE(window.quitButton()->isHidden(), tray);
        }
    }

    // An agent's message is shown as written: no markup, line breaks kept.
    void dialogsShowPlainText() {
        const QString hostile = "<h1>ООО</h1>\n<img src=file:///etc/passwd> <a href=x>y</a>";
        QWidget window;
        MessageBoxPresenter presenter;
        QStringList seen;
        const auto readBox = [&] {
            auto* box = window.findChild<QMessageBox*>();
            QVERIFY(box);
            for (const QLabel* label : box->findChildren<QLabel*>())
                if (label->text() == hostile && label->textFormat() == Qt::PlainText)
                    seen << box->informativeText();
            box->reject();
        };
        QTimer::singleShot(0, &window, readBox);
        presenter.showAlert(&window, "Подключение агента", hostile);
        bool answered = false;
        presenter.askAsSheet(&window, "Подключить Агент KESTREL?", hostile, "Да", "Нет",
                             [&](bool accepted) { answered = !accepted; });
        readBox();
        QTRY_VERIFY(answered);
        QCOMPARE(seen, QStringList(2, hostile));
    }

    void windowAndMenuActions() {
        AppHarness harness;
        const AppDelegate& delegate = harness.launch();
        MainWindow* window = delegate.window();
        // Centred at its first showing, then left where the user puts it; Return
        // presses «Открыть кабинет» while the window is active.
        QVERIFY(QTest::qWaitForWindowActive(window));
        const QRect area = window->screen()->availableGeometry();
        QCOMPARE(window->x(), area.left() + (area.width() - window->width()) / 2);
        QCOMPARE(window->y(),
                 std::max(area.top(), area.top() + (area.height() - window->height()) / 2));
        window->hide();
        window->move(area.topLeft() + QPoint(5, 5));
        harness.delegate->showWindow();
        QCOMPARE(window->pos(), area.topLeft() + QPoint(5, 5));
        QVERIFY(QTest::qWaitForWindowActive(window));
        window->loginItemButton()->setFocus();
        QTest::keyClick(window, Qt::Key_Return);
        QTest::keyClick(window->loginItemButton(), Qt::Key_Enter);
        QCOMPARE(harness.desktop->opened, QList<QUrl>(2, harness.config.portalUrl));

        const QList<QAction*> entries = delegate.trayMenu()->actions();
        QStringList texts;
        for (const QAction* action : entries)
            texts << (action->isSeparator() ? "—" : action->text());
        QCOMPARE(texts,
                 QStringList({"Открыть «Агент KESTREL»", "Проверяем службу…", "—",
                              "Открыть кабинет", "Показать журнал", "—", "Завершить программу"}));
        QVERIFY(!entries[1]->isEnabled());
        QCOMPARE(entries[6]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
        QCOMPARE(delegate.statusItem()->contextMenu(), delegate.trayMenu());

        entries[3]->trigger();
        QCOMPARE(harness.desktop->opened, QList<QUrl>(3, harness.config.portalUrl));
        // Showing the log recreates a deleted file before revealing it.
        QFile::remove(harness.logPath());
        entries[4]->trigger();
        QCOMPARE(harness.desktop->revealed, QStringList{harness.logPath()});
        QVERIFY(QFileInfo(harness.logPath()).isFile());
        // Without a browser or a file manager the user is told where to go by hand.
        harness.desktop->nothingOpens = true;
        window->portalButton()->click();
        window->logButton()->click();
        QCOMPARE(harness.presenter->alerts,
                 QStringList({"Не удалось открыть кабинет: Откройте в браузере адрес:\n" +
                                  harness.config.portalUrl.toString(),
                              "Не удалось показать журнал: Журнал находится здесь:\n" +
                                  harness.logPath()}));

        QVERIFY(window->close() && !window->isVisible());
        const int activations = harness.desktop->activations;
        entries[0]->trigger();
        QVERIFY(window->isVisible());
        QCOMPARE(harness.desktop->activations, activations + 1);

        // A status reaches the window, its dot's name and the menu.
        harness.delegate->updateStatus(true, StatusColor::Green, "Агент работает", "Версия 1.0.0");
        QVERIFY(delegate.state().isAgentReady);
        QCOMPARE(window->statusTitle()->text(), "Агент работает");
        QCOMPARE(entries[1]->text(), "Агент работает");
        QCOMPARE(window->statusDot()->accessibleName(), "Агент работает");
        QCOMPARE(window->statusDot()->palette().color(QPalette::WindowText),
                 statusQColor(StatusColor::Green, QPalette()));

        // With no tray to quit from, the window's own button quits as the menu does.
        AppHarness withTray;
        withTray.trayAvailable = true;
        QVERIFY(withTray.launch().window()->quitButton()->isHidden());
        QVERIFY(window->quitButton()->isVisible());
        QTimer::singleShot(5000, window, [] { QCoreApplication::exit(1); }); // gives up
        QTimer::singleShot(0, window->quitButton(), &QPushButton::click);
        QCOMPARE(QCoreApplication::exec(), 0);
    }

    // A bundle started from a mounted image asks to be installed first; the
    // launch goes on either way.
    void installLocationAlert() {
        for (const auto& [folder, alerted] :
             {std::pair{"/Volumes/KESTREL Agent/KestrelAgent.app", true},
              {"/VolumesExtra/KestrelAgent.app", false}}) {
            AppHarness harness;
            harness.config.bundlePath = folder;
            const AppDelegate& delegate = harness.launch();
            QCOMPARE(harness.presenter->alerts.join(""),
                     alerted ? "Переместите программу: Перетащите «Агент KESTREL» из образа диска "
                               "в папку «Программы», затем откройте установленную копию."
                             : "");
            QVERIFY(delegate.window()->isVisible() && harness.wake->started);
        }
    }

    void wakeAndShutdown() {
        FakeAgent agent;
        AppHarness harness;
        harness.config.agentBaseUrl = agent.baseUrl();
        harness.config.pollInterval = 0.05;
        AppDelegate& delegate = harness.launch();
        harness.wake->wake();
        QVERIFY(harness.events().contains("system_wake") && delegate.state().resumeCheckPending);

        delegate.applicationWillTerminate();
        delegate.applicationWillTerminate();
        QVERIFY(!harness.wake->started);
        harness.wake->wake(); // ignored
        QCOMPARE(harness.events().filter(QRegularExpression("^(system_wake|app_terminate)")),
                 QStringList({"system_wake", "app_terminate"}));
        // Neither the delayed first start nor a poll follows quitting; one
        // poll may still have been on its way.
        const int polls = agent.requestCount("/v1/health");
        QTest::qWait(300);
        QCOMPARE_LE(agent.requestCount("/v1/health"), polls + 1);
        QVERIFY(!harness.logged("helper_missing"));
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
