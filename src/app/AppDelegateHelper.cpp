#include "AppDelegate.h"
#include "log/DiagnosticLog.h"
#include "log/Uptime.h"
#include "supervisor/AgentProcess.h"
#include "ui/PlatformWords.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>
#include <variant>

namespace kestrel {

namespace {

constexpr int restartDelayMs = 1000;

} // namespace

void AppDelegate::startBundledHelper() {
    if (m_state.isQuitting)
        return;
    if (helperIsRunning())
        return;

    const QString program = agentExecutablePath(m_config.bundlePath);
    if (!isExecutableFile(program)) {
        logDiagnostic(QStringLiteral("helper_missing"));
        updateStatus(false, StatusColor::Red, QStringLiteral("Служба печати отсутствует"),
                     platformWords().reinstallHint);
        return;
    }

    m_log->ensureLogFile();
    const AgentLaunch launch{
        program, agentEnvironment(QProcessEnvironment::systemEnvironment(), m_appSecret),
        m_log->path()};

    ++m_state.helperAttempt;
    m_state.helperStartedAt = systemUptime();
    m_state.lastHealthDiagnostic.reset();
    logDiagnostic(QStringLiteral("helper_launch_begin attempt=%1").arg(m_state.helperAttempt));

    const auto result = spawnAgent(launch, this);
    if (const auto* error = std::get_if<LaunchError>(&result)) {
        logDiagnostic(QStringLiteral("helper_launch_failed domain=%1 code=%2")
                          .arg(error->domain)
                          .arg(error->code));
        updateStatus(false, StatusColor::Red, QStringLiteral("Не удалось запустить службу"),
                     error->description);
        return;
    }

    QProcess* const process = std::get<QProcess*>(result);
    // finished() comes from the event loop, never from inside spawnAgent(), so
    // connecting after the start misses nothing.
    connect(process, &QProcess::finished, this,
            [this, process](int exitCode, QProcess::ExitStatus exitStatus) {
                const AgentExit exit = agentExit(exitCode, exitStatus);
                handleHelperExit(process, exit.status, exit.reason);
            });
    m_helperProcess = process;
    logDiagnostic(QStringLiteral("helper_spawned pid=%1").arg(process->processId()));
}

bool AppDelegate::helperIsRunning() const {
    return m_helperProcess && m_helperProcess->state() != QProcess::NotRunning;
}

void AppDelegate::handleHelperExit(QProcess* process, int status, int reason) {
    process->deleteLater();
    // Only the agent we currently supervise counts: an older one must neither
    // make us forget the running agent nor schedule a second one.
    if (process != m_helperProcess)
        return;
    logDiagnostic(QStringLiteral("helper_exit status=%1 reason=%2").arg(status).arg(reason));
    m_helperProcess.clear();
    if (m_state.isQuitting)
        return;
    // One restart pending at a time, due one second after the latest exit:
    // an agent that a failed poll started sooner and that ended again must
    // not leave a second restart behind, or the restarts would multiply.
    if (!m_restartTimer) {
        m_restartTimer = new QTimer(this);
        m_restartTimer->setSingleShot(true);
        m_restartTimer->setTimerType(Qt::PreciseTimer);
        m_restartTimer->setInterval(restartDelayMs);
        connect(m_restartTimer, &QTimer::timeout, this, &AppDelegate::startBundledHelper);
    }
    m_restartTimer->start();
}

void AppDelegate::stopHelperForShutdown() {
    detachAndTerminate(m_helperProcess);
    m_helperProcess.clear();
}

} // namespace kestrel
