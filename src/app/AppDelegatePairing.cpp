#include "AppDelegate.h"
#include "pairing/PairingLink.h"
#include "pairing/PairingPreview.h"
#include "pairing/PairingRequest.h"
#include "pairing/SigningAccess.h"
#include "ui/MainWindow.h"

#include <QLabel>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QPushButton>

namespace kestrel {

namespace text = pairing_text;

void AppDelegate::openUrls(const QList<QUrl>& urls) {
    std::optional<QString> token = pairingTokenFromLinks(urls);
    if (!token || m_state.pairingInFlight)
        return;
    m_state.pendingPairingToken = std::move(token);
    if (m_state.alertOpen)
        logDiagnostic(QStringLiteral("pairing_waits_for_alert"));
    processPendingPairing();
}

void AppDelegate::processPendingPairing() {
    if (!m_state.isAgentReady || m_state.pairingInFlight || !m_state.pendingPairingToken)
        return;
    // Taken up when the alert closes.
    if (m_state.alertOpen)
        return;
    // The token waits while another user holds the agent's port.
    if (!agentPortIsOurs())
        return;
    const QString token = *std::exchange(m_state.pendingPairingToken, std::nullopt);
    m_state.pairingInFlight = true;
    showWindow();
    pairingRequest(text::previewPath.toString(), token, text::pairingFailed.toString(),
                   [this, token](std::optional<QByteArray> body, const QString& failure) {
                       handlePairingPreview(token, body, failure);
                   });
}

void AppDelegate::handlePairingPreview(const QString& token, const std::optional<QByteArray>& body,
                                       const QString& failure) {
    const std::optional<PairingPreview> preview = body ? decodePairingPreview(*body) : std::nullopt;
    if (!preview) {
        m_state.pairingInFlight = false;
        showAlert(text::alertTitle.toString(), body ? text::previewDamaged.toString() : failure);
        return;
    }
    m_presenter->askAsSheet(m_window, text::questionTitle.toString(), pairingSheetText(*preview),
                            text::acceptButton.toString(), text::rejectButton.toString(),
                            [self = QPointer<AppDelegate>(this), token](bool accepted) {
                                if (self)
                                    self->answerPairingQuestion(token, accepted);
                            });
}

void AppDelegate::answerPairingQuestion(const QString& token, bool accepted) {
    if (!accepted) {
        m_state.pairingInFlight = false;
        return;
    }
    if (!agentPortIsOurs()) {
        // Asked again once the port is ours, unless a newer link came meanwhile.
        m_state.pairingInFlight = false;
        if (!m_state.pendingPairingToken)
            m_state.pendingPairingToken = token;
        return;
    }
    pairingRequest(text::confirmPath.toString(), token, text::pairingFailed.toString(),
                   [this](std::optional<QByteArray> body, const QString& failure) {
                       m_state.pairingInFlight = false;
                       if (!body)
                           showAlert(text::alertTitle.toString(), failure);
                       refreshStatus();
                   });
}

void AppDelegate::pairingRequest(
    const QString& path, const std::optional<QString>& ticket, const QString& failureMessage,
    std::function<void(std::optional<QByteArray> body, QString failure)> completion) {
    if (!agentPortIsOurs()) {
        // Reported from the event loop, as a reply would be.
        QMetaObject::invokeMethod(
            this,
            [completion = std::move(completion), failureMessage] {
                completion(std::nullopt, failureMessage);
            },
            Qt::QueuedConnection);
        return;
    }
    const PairingRequestParams params{m_config.privateAgentUrl, path, m_appSecret, ticket,
                                      failureMessage};
    // The controller is the context: a reply that arrives after it is gone is
    // dropped, so `completion` may use `this` freely.
    sendPairingRequest(*pairingSession(), params, this,
                       [completion = std::move(completion)](PairingOutcome outcome) {
                           completion(std::move(outcome.body), outcome.failure);
                       });
}

QNetworkAccessManager* AppDelegate::pairingSession() {
    if (!m_pairingSession) {
        m_pairingSession = m_platform.networkFactory->create(this);
        configurePairingSession(*m_pairingSession);
    }
    return m_pairingSession;
}

void AppDelegate::openSigningSettings() {
    if (!m_state.needsCredentialAccess) {
        if (const std::optional<QUrl> page = integrationPageUrl(m_config.portalUrl))
            m_platform.desktop->openUrl(*page);
        return;
    }
    if (m_state.credentialAccessInFlight)
        return;
    m_state.credentialAccessInFlight = true;
    if (m_window) {
        m_window->signingButton()->setEnabled(false);
        m_window->signingButton()->setText(text::waitingForAccess.toString());
    }
    pairingRequest(text::unlockPath.toString(), std::nullopt, text::unlockFailed.toString(),
                   [this](std::optional<QByteArray> body, const QString& failure) {
                       m_state.credentialAccessInFlight = false;
                       // The health replies that follow may carry no signing
                       // record to redraw the button from.
                       showSigningButton();
                       if (!body && m_window)
                           m_window->signingDetails()->setText(text::signingPrefix.toString() +
                                                               failure);
                       refreshStatus();
                   });
}

void AppDelegate::resumeSigningIfNeeded() {
    if (!m_state.isAgentReady || !m_state.resumeCheckPending || m_state.resumeRequestInFlight ||
        m_state.isQuitting)
        return;
    m_state.resumeCheckPending = false;
    m_state.resumeRequestInFlight = true;
    pairingRequest(text::resumePath.toString(), std::nullopt, text::resumeFailed.toString(),
                   [this](std::optional<QByteArray> body, const QString&) {
                       m_state.resumeRequestInFlight = false;
                       if (!body) {
                           m_state.resumeCheckPending = true;
                           logDiagnostic(QStringLiteral("wake_check_retry"));
                           return;
                       }
                       logDiagnostic(QStringLiteral("wake_check_requested"));
                       refreshStatus();
                   });
}

} // namespace kestrel
