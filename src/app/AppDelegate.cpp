#include "AppDelegate.h"

#include "agentclient/PrinterListModel.h"
#include "log/DiagnosticLog.h"
#include "log/Uptime.h"
#include "platform/BundleInfo.h"
#include "platform/SystemServices.h"
#include "supervisor/AppSecret.h"
#include "ui/Icons.h"
#include "ui/MainWindow.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QCursor>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QSysInfo>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUuid>

namespace kestrel {

namespace {

constexpr int firstStartDelayMs = 100;
constexpr int firstStartDelayAfterMigrationMs = 700;

int milliseconds(double seconds) {
    return static_cast<int>(seconds * 1000.0);
}

} // namespace

AppDelegate::AppDelegate(Config config, PlatformServices platform,
                         std::unique_ptr<Presenter> presenter, QObject* parent)
    : QObject(parent), m_config(std::move(config)), m_platform(std::move(platform)),
      m_presenter(std::move(presenter)),
      m_launchId(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()),
      m_launchUptime(systemUptime()), m_appSecret(makeAppSecret()) {
    const QString logPath =
        m_platform.logFilePath.isEmpty() ? defaultLogFilePath() : m_platform.logFilePath;
    m_log = std::make_unique<DiagnosticLog>(logPath, m_launchId, m_launchUptime);
    m_printerModel = new PrinterListModel(this);
}

AppDelegate::~AppDelegate() {
    delete m_window.data();
}

const QString& AppDelegate::appVersion() {
    if (!m_appVersion)
        m_appVersion = bundleVersion(m_config.bundlePath);
    return *m_appVersion;
}

QString AppDelegate::logFilePath() const {
    return m_log->path();
}

void AppDelegate::logDiagnostic(const QString& event) {
    m_log->write(event);
}

void AppDelegate::applicationDidFinishLaunching() {
    logDiagnostic(QStringLiteral("app_launch version=%1 os=%2 pid=%3")
                      .arg(appVersion(), QSysInfo::prettyProductName())
                      .arg(QCoreApplication::applicationPid()));
    becomeAccessoryApplication();
    createStatusItem();
    buildMenu();

    logDiagnostic(QStringLiteral("legacy_check_begin"));
    const bool migrated = stopLegacyAgent();
    logDiagnostic(QStringLiteral("legacy_check_end migrated=") +
                  (migrated ? QStringLiteral("true") : QStringLiteral("false")));

    const int firstStartDelay = migrated ? firstStartDelayAfterMigrationMs : firstStartDelayMs;
    QTimer::singleShot(firstStartDelay, this, [this] {
        startBundledHelper();
        refreshStatus();
    });

    configureWindow();
    updateLoginItemState();
    checkInstallLocation();
    checkForUpdate();

    m_pollTimer = new QTimer(this);
    m_pollTimer->setInterval(milliseconds(m_config.pollInterval));
    connect(m_pollTimer, &QTimer::timeout, this, &AppDelegate::refreshStatus);
    m_pollTimer->start();

    m_updateTimer = new QTimer(this);
    m_updateTimer->setInterval(milliseconds(m_config.updateCheckInterval));
    connect(m_updateTimer, &QTimer::timeout, this, &AppDelegate::checkForUpdate);
    m_updateTimer->start();

    showWindow();

    if (m_platform.wakeWatcher) {
        connect(m_platform.wakeWatcher.get(), &WakeWatcher::didWake, this,
                &AppDelegate::resumeAfterSleep);
        m_platform.wakeWatcher->start();
    }
}

void AppDelegate::applicationWillTerminate() {
    if (m_state.isQuitting)
        return;
    logDiagnostic(QStringLiteral("app_terminate"));
    m_state.isQuitting = true;
    if (m_platform.wakeWatcher) {
        m_platform.wakeWatcher->stop();
        m_platform.wakeWatcher->disconnect(this);
    }
    if (m_pollTimer)
        m_pollTimer->stop();
    if (m_updateTimer)
        m_updateTimer->stop();
    stopHelperForShutdown();
}

void AppDelegate::resumeAfterSleep() {
    if (m_state.isQuitting)
        return;
    logDiagnostic(QStringLiteral("system_wake"));
    m_state.resumeCheckPending = true;
    refreshStatus();
    resumeSigningIfNeeded();
}

void AppDelegate::createStatusItem() {
    m_statusItem = new QSystemTrayIcon(this);
    m_statusItem->setToolTip(QStringLiteral("Агент KESTREL"));
    m_statusItem->setIcon(printerGlyph(statusQColor(m_state.statusColor, QPalette())));
    // Panels differ in which click opens the menu; a plain click opens it
    // everywhere, as a menu-bar item does.
    connect(m_statusItem, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger && m_trayMenu)
                    m_trayMenu->popup(QCursor::pos());
            });
}

void AppDelegate::buildMenu() {
    m_trayMenu = std::make_unique<QMenu>();
    m_trayMenu->addAction(QStringLiteral("Открыть «Агент KESTREL»"), this,
                          &AppDelegate::showWindow);
    m_statusMenuItem = m_trayMenu->addAction(QStringLiteral("Проверяем службу…"));
    m_statusMenuItem->setEnabled(false);
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(QStringLiteral("Открыть кабинет"), this, &AppDelegate::openPortal);
    m_trayMenu->addAction(QStringLiteral("Показать журнал"), this, &AppDelegate::showLog);
    m_trayMenu->addSeparator();
    QAction* quit = m_trayMenu->addAction(QStringLiteral("Завершить программу"), this,
                                          &AppDelegate::quitApplication);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    m_statusItem->setContextMenu(m_trayMenu.get());
    m_statusItem->show();
}

void AppDelegate::configureWindow() {
    m_window = new MainWindow(appVersion(), m_config.updatePlatform.platformName, m_printerModel);
    m_window->setTrayAvailable(m_platform.trayAvailable ? m_platform.trayAvailable()
                                                        : QSystemTrayIcon::isSystemTrayAvailable());
    connect(m_window->quitButton(), &QPushButton::clicked, this, &AppDelegate::quitApplication);
    connect(m_window->signingButton(), &QPushButton::clicked, this,
            &AppDelegate::openSigningSettings);
    connect(m_window->refreshButton(), &QPushButton::clicked, this, &AppDelegate::refreshNow);
    connect(m_window->loginItemButton(), &QCheckBox::clicked, this, &AppDelegate::toggleLoginItem);
    connect(m_window->updateButton(), &QPushButton::clicked, this,
            &AppDelegate::handleUpdateButton);
    connect(m_window->portalButton(), &QPushButton::clicked, this, &AppDelegate::openPortal);
    connect(m_window->logButton(), &QPushButton::clicked, this, &AppDelegate::showLog);
}

void AppDelegate::checkInstallLocation() {
    // A bundle started straight from the mounted disk image would vanish with
    // it; the user is told once per launch and the launch goes on.
    if (m_config.bundlePath.startsWith(QStringLiteral("/Volumes/")))
        showAlert(QStringLiteral("Переместите программу"),
                  QStringLiteral("Перетащите «Агент KESTREL» из образа диска в папку «Программы», "
                                 "затем откройте установленную копию."));
}

void AppDelegate::showWindow() {
    if (!m_window)
        return;
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    m_platform.desktop->activateApplication();
}

// Without a browser or a file manager nothing would happen at all; the user
// is given the address or the path to open by hand instead.
void AppDelegate::openPortal() {
    if (!m_platform.desktop->openUrl(m_config.portalUrl))
        showAlert(QStringLiteral("Не удалось открыть кабинет"),
                  QStringLiteral("Откройте в браузере адрес:\n") + m_config.portalUrl.toString());
}

void AppDelegate::showLog() {
    m_log->ensureLogFile();
    const QString path = m_log->path();
    m_platform.desktop->revealFile(path, [self = QPointer(this), path] {
        if (self)
            self->showAlert(QStringLiteral("Не удалось показать журнал"),
                            QStringLiteral("Журнал находится здесь:\n") + path);
    });
}

void AppDelegate::quitApplication() {
    QCoreApplication::quit();
}

void AppDelegate::updateStatus(bool ready, StatusColor color, const QString& title,
                               const QString& details) {
    m_state.isAgentReady = ready;
    m_state.statusColor = color;
    if (m_window) {
        QLabel* dot = m_window->statusDot();
        QPalette palette = dot->palette();
        palette.setColor(QPalette::WindowText, statusQColor(color, palette));
        dot->setPalette(palette);
        // The dot's meaning must not rest on colour alone.
        dot->setAccessibleName(title);
        m_window->statusTitle()->setText(title);
        m_window->statusDetails()->setText(details);
    }
    if (m_statusMenuItem)
        m_statusMenuItem->setText(title);
    if (m_statusItem)
        m_statusItem->setIcon(printerGlyph(statusQColor(color, QPalette())));
}

void AppDelegate::showAlert(const QString& title, const QString& message) {
    // The alert's modal loop goes on delivering links and replies; one
    // alert stacked on another would follow each of them.
    if (m_state.alertOpen) {
        logDiagnostic(QStringLiteral("alert_dropped"));
        return;
    }
    m_state.alertOpen = true;
    const QPointer<AppDelegate> self(this);
    m_presenter->showAlert(m_window, title, message);
    if (!self)
        return;
    m_state.alertOpen = false;
    processPendingPairing();
}

} // namespace kestrel
