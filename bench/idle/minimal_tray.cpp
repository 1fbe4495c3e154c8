// The smallest program of the same kind, as a baseline: one window, a tray
// item with a menu, and a network session asking the agent's health every
// 3 seconds (or asking the address given after --url). With --ready it
// prints "ready" once its event loop runs and exits, which times a bare Qt
// start.

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    application.setQuitOnLastWindowClosed(false);
    const QStringList arguments = application.arguments();
    const bool readyAndExit = arguments.contains(QStringLiteral("--ready"));
    const qsizetype urlAt = arguments.indexOf(QStringLiteral("--url")) + 1;
    const QUrl url(urlAt > 0 && urlAt < arguments.size()
                       ? arguments[urlAt]
                       : QStringLiteral("http://localhost:43127/v1/health"));

    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* status = new QLabel(QStringLiteral("Проверяем службу…"));
    layout->addWidget(status);
    window.show();

    QMenu menu;
    menu.addAction(QStringLiteral("Открыть"), &window, &QWidget::show);
    menu.addAction(QStringLiteral("Завершить"), &application, &QApplication::quit);
    QSystemTrayIcon tray;
    tray.setContextMenu(&menu);
    tray.show();

    if (readyAndExit) {
        QTimer::singleShot(0, &application, [&] {
            std::puts("ready");
            std::fflush(stdout);
            application.quit();
        });
        return application.exec();
    }

    QNetworkAccessManager session;
    QTimer poll;
    poll.setInterval(3000);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QNetworkReply* reply = session.get(QNetworkRequest(url));
        QObject::connect(reply, &QNetworkReply::finished, [reply, status] {
            status->setText(reply->error() == QNetworkReply::NoError ? QStringLiteral("работает")
                                                                     : QStringLiteral("нет"));
            reply->deleteLater();
        });
    });
    poll.start();
    return application.exec();
}
