#pragma once

#include "agentclient/Printer.h"
#include "app/Config.h"
#include "platform/Platform.h"
#include "ui/MainWindow.h"
#include "ui/Presenter.h"
#include "ui/StatusColor.h"
#include "update/AvailableUpdate.h"

#include <QAction>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kestrel {

class DiagnosticLog;
class PrinterListModel;
class AgentHealth;
class SigningStatus;
struct ReplyResult;

// Run-time state that is not a view. Lives in the controller only; tests read
// it through AppDelegate::state().
struct AppState {
    bool refreshInFlight = false;
    bool printerRefreshInFlight = false;
    // The user asked to refresh: the next printer request asks the agent for
    // a fresh list instead of the one it keeps for a while.
    bool freshPrintersWanted = false;
    std::vector<Printer> printers;
    qint64 helperAttempt = 0;
    std::optional<double> helperStartedAt;
    std::optional<QString> lastHealthDiagnostic;
    std::optional<QString> lastPrinterDiagnostic;
    qint64 healthFailures = 0;
    bool isQuitting = false;
    bool isAgentReady = false;
    bool updateCheckInFlight = false;
    std::optional<AvailableUpdate> availableUpdate;
    std::optional<QString> pendingPairingToken;
    bool pairingInFlight = false;
    bool needsCredentialAccess = false;
    bool credentialAccessInFlight = false;
    bool resumeCheckPending = false;
    bool resumeRequestInFlight = false;
    StatusColor statusColor = StatusColor::Secondary;
    // An alert is open; at most one is at a time.
    bool alertOpen = false;
    // The other user's id (or "unknown") while the agent's port is theirs.
    std::optional<QString> foreignPortUid;
};

// The one controller: owns every piece of run-time state, the tray item, the
// window, the agent process, the timers and the HTTP sessions. Main thread only.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    AppDelegate(Config config, PlatformServices platform, std::unique_ptr<Presenter> presenter,
                QObject* parent = nullptr);
    ~AppDelegate() override;

    // The launch sequence; call once, with the event loop about to run.
    void applicationDidFinishLaunching();
    // The shutdown sequence; safe to call more than once.
    void applicationWillTerminate();
    // Links handed to the application by the system.
    void openUrls(const QList<QUrl>& urls);

    const AppState& state() const { return m_state; }
    const Config& config() const { return m_config; }
    const QString& launchId() const { return m_launchId; }
    const QString& appVersion();
    QString logFilePath() const;
    MainWindow* window() const { return m_window; }
    QMenu* trayMenu() const { return m_trayMenu.get(); }
    QSystemTrayIcon* statusItem() const { return m_statusItem; }
    QProcess* helperProcess() const { return m_helperProcess; }

    void logDiagnostic(const QString& event);
    void updateStatus(bool ready, StatusColor color, const QString& title, const QString& details);
    void showAlert(const QString& title, const QString& message);

public slots:
    void showWindow();
    void openPortal();
    void showLog();
    void quitApplication();
    void refreshNow();
    void resumeAfterSleep();
    void toggleLoginItem(bool checked);
    void openSigningSettings();
    void handleUpdateButton();
    void downloadAvailableUpdate();

    void refreshStatus();
    void startBundledHelper();
    void checkForUpdate();
    void refreshPrinters();
    void resumeSigningIfNeeded();
    void processPendingPairing();
    void updateLoginItemState();

private:
    // Shell
    void createStatusItem();
    void buildMenu();
    void configureWindow();
    bool stopLegacyAgent();
    void checkInstallLocation();

    // Agent supervision
    void handleHelperExit(QProcess* process, int status, int reason);
    // Detaches the exit handling and asks the agent to stop, without waiting.
    void stopHelperForShutdown();
    bool helperIsRunning() const;

    // Health and printers
    // `quick`: a re-poll while our agent starts, whose failure is expected.
    void pollHealth(bool quick);
    void evaluateHealth(const ReplyResult& reply, double sentAt, bool quick);
    void presentReady(const AgentHealth& health);
    void showSigning(const SigningStatus& signing);
    // The signing button as the current state allows.
    void showSigningButton();
    void handlePrintersReply(const ReplyResult& reply, double sentAt);

    // Whose the agent's port is
    std::optional<QString> foreignAgentPort(const QUrl& contacted, bool answered) const;
    void presentForeignPort(const QString& uid);
    // False, with the status showing why, when the secret must not go out.
    bool agentPortIsOurs();

    // Sessions, created on first use
    QNetworkAccessManager* session();
    QNetworkAccessManager* pairingSession();
    QNetworkAccessManager* updateSession();

    // Pairing and signing
    void
    pairingRequest(const QString& path, const std::optional<QString>& ticket,
                   const QString& failureMessage,
                   std::function<void(std::optional<QByteArray> body, QString failure)> completion);
    void handlePairingPreview(const QString& token, const std::optional<QByteArray>& body,
                              const QString& failure);
    void answerPairingQuestion(const QString& token, bool accepted);

    const Config m_config;
    PlatformServices m_platform;
    std::unique_ptr<Presenter> m_presenter;
    std::unique_ptr<DiagnosticLog> m_log;

    const QString m_launchId;
    const double m_launchUptime;
    const QString m_appSecret;
    std::optional<QString> m_appVersion;

    AppState m_state;

    QPointer<QSystemTrayIcon> m_statusItem;
    std::unique_ptr<QMenu> m_trayMenu;
    QPointer<QAction> m_statusMenuItem;
    QPointer<MainWindow> m_window;
    PrinterListModel* m_printerModel = nullptr;

    QPointer<QProcess> m_helperProcess;
    QPointer<QTimer> m_restartTimer;

    QPointer<QTimer> m_pollTimer;
    QPointer<QTimer> m_updateTimer;

    QPointer<QNetworkAccessManager> m_session;
    QPointer<QNetworkAccessManager> m_pairingSession;
    QPointer<QNetworkAccessManager> m_updateSession;

    // Updates
    // The download in progress, if any; at most one runs at a time.
    QPointer<QObject> m_updateDownload;
};

} // namespace kestrel
