#include "AppDelegate.h"
#include "agentclient/AgentHealth.h"
#include "agentclient/HealthStatus.h"
#include "agentclient/PrinterListModel.h"
#include "agentclient/PrinterStatus.h"
#include "agentclient/PrintersResponse.h"
#include "agentclient/StatusRequest.h"
#include "log/LogLine.h"
#include "log/Uptime.h"
#include "ui/MainWindow.h"

#include <QLabel>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QTimer>
#include <utility>

namespace kestrel {

namespace {

std::optional<AgentHealth> decodeHealth(const ReplyResult& reply) {
    return reply.body ? AgentHealth::fromBody(*reply.body) : std::nullopt;
}

std::optional<PrintersResponse> decodePrinters(const ReplyResult& reply) {
    return reply.body ? PrintersResponse::fromBody(*reply.body) : std::nullopt;
}

} // namespace

QNetworkAccessManager* AppDelegate::session() {
    if (!m_session)
        m_session = m_platform.networkFactory->create(this);
    return m_session;
}

void AppDelegate::refreshNow() {
    m_state.freshPrintersWanted = true;
    refreshStatus();
}

void AppDelegate::refreshStatus() {
    pollHealth(false);
}

void AppDelegate::pollHealth(bool quick) {
    // After quitting nothing is asked of the agent: a poll that was out when
    // the user quit would otherwise be followed by a quick one.
    if (m_state.refreshInFlight || m_state.isQuitting)
        return;
    m_state.refreshInFlight = true;
    if (m_window)
        m_window->refreshButton()->setEnabled(false);

    const double sentAt = systemUptime();
    sendStatusRequest(
        *session(), agentUrl(m_config.agentBaseUrl, QStringLiteral("v1/health")), this,
        [this, sentAt, quick](const ReplyResult& reply) { evaluateHealth(reply, sentAt, quick); });
}

void AppDelegate::evaluateHealth(const ReplyResult& reply, double sentAt, bool quick) {
    m_state.refreshInFlight = false;
    if (m_window)
        m_window->refreshButton()->setEnabled(true);
    const QString elapsed = formatSeconds(systemUptime() - sentAt);

    const std::optional<AgentHealth> health = decodeHealth(reply);
    const QString summary = healthSummary(reply.statusCode, reply.error, health);
    const HealthVerdict verdict = decideHealth(reply.statusCode, health, appVersion());
    // A quick re-poll refused while our agent starts is expected: the start
    // shows as one failure line, not one per re-poll.
    const bool expectedFailure = quick && verdict == HealthVerdict::NotHealthy;
    if (!expectedFailure)
        m_state.healthFailures =
            verdict == HealthVerdict::NotHealthy ? m_state.healthFailures + 1 : 0;

    if (!expectedFailure &&
        shouldLogHealth(m_state.lastHealthDiagnostic, summary, m_state.healthFailures)) {
        logDiagnostic(QStringLiteral("health_result ") + summary + QStringLiteral(" request_s=") +
                      elapsed + QStringLiteral(" failures=") +
                      QString::number(m_state.healthFailures));
        m_state.lastHealthDiagnostic = summary;
    }

    // Whatever answered, it is not trusted while another user holds the port.
    if (const std::optional<QString> uid =
            foreignAgentPort(m_config.agentBaseUrl, reply.statusCode.has_value())) {
        presentForeignPort(*uid);
        return;
    }
    m_state.foreignPortUid.reset();

    switch (verdict) {
    case HealthVerdict::NotHealthy: {
        // The quick second poll is for an agent that runs but does not listen
        // yet. An agent that had ended is started here and not polled at
        // once: one that crashes at start would otherwise be restarted at
        // every quick poll instead of once a second.
        const bool agentWasRunning = helperIsRunning();
        updateStatus(false, StatusColor::Orange, startingTitle(), startingDetails());
        startBundledHelper();
        const double now = systemUptime();
        if (shouldPollAgainSoon(reply.statusCode, agentWasRunning, m_state.helperStartedAt, now))
            QTimer::singleShot(agentStartupPollDelayMs(now - *m_state.helperStartedAt), this,
                               [this] { pollHealth(true); });
        return;
    }
    case HealthVerdict::ForeignVersion:
        updateStatus(false, StatusColor::Orange, foreignVersionTitle(health->version()),
                     foreignVersionDetails());
        return;
    case HealthVerdict::Ready:
        presentReady(*health);
        return;
    }
}

void AppDelegate::presentReady(const AgentHealth& health) {
    if (!m_state.isAgentReady) {
        const QString elapsed = m_state.helperStartedAt
                                    ? formatSeconds(systemUptime() - *m_state.helperStartedAt)
                                    : QStringLiteral("unknown");
        logDiagnostic(QStringLiteral("service_ready helper_elapsed_s=") + elapsed);
    }
    updateStatus(true, StatusColor::Green, readyTitle(), readyDetails(health));

    refreshPrinters();
    resumeSigningIfNeeded();
    processPendingPairing();

    if (health.signing())
        showSigning(*health.signing());
}

void AppDelegate::showSigning(const SigningStatus& signing) {
    m_state.needsCredentialAccess = needsCredentialAccess(signing);
    if (!m_window)
        return;
    m_window->signingDetails()->setText(signingLine(signing));
    showSigningButton();
}

void AppDelegate::showSigningButton() {
    if (!m_window)
        return;
    const SigningButtonState button =
        signingButtonState(m_state.credentialAccessInFlight, m_state.needsCredentialAccess);
    m_window->signingButton()->setText(button.title);
    m_window->signingButton()->setEnabled(button.enabled);
}

void AppDelegate::refreshPrinters() {
    if (m_state.printerRefreshInFlight)
        return;
    m_state.printerRefreshInFlight = true;

    QList<QPair<QByteArray, QByteArray>> headers;
    if (std::exchange(m_state.freshPrintersWanted, false))
        headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("no-cache")));
    const double sentAt = systemUptime();
    sendStatusRequest(
        *session(), agentUrl(m_config.agentBaseUrl, QStringLiteral("v1/printers")), this,
        [this, sentAt](const ReplyResult& reply) { handlePrintersReply(reply, sentAt); }, {},
        headers);
}

void AppDelegate::handlePrintersReply(const ReplyResult& reply, double sentAt) {
    m_state.printerRefreshInFlight = false;

    const std::optional<PrintersResponse> response = decodePrinters(reply);
    const QString outcome = printersOutcome(reply.statusCode, reply.error, response);
    if (m_state.lastPrinterDiagnostic != outcome) {
        logDiagnostic(QStringLiteral("printers_result ") + outcome + QStringLiteral(" request_s=") +
                      formatSeconds(systemUptime() - sentAt));
        m_state.lastPrinterDiagnostic = outcome;
    }

    // Anything but a complete, good answer leaves the last good list shown.
    if (!shouldReplacePrinters(reply.statusCode, response))
        return;
    m_state.printers = response->printers();
    m_printerModel->setPrinters(m_state.printers);
    if (m_window)
        m_window->emptyPrintersLabel()->setVisible(m_state.printers.empty());
}

} // namespace kestrel
