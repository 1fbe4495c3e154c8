#include "AppDelegate.h"
#include "platform/PortListeners.h"

namespace kestrel {

std::optional<QString> AppDelegate::foreignAgentPort(const QUrl& contacted, bool answered) const {
    // The status and the privileged requests normally share one port; both
    // are looked at should they ever differ, and only the one contacted
    // counts as answering.
    for (const QUrl& url : {m_config.agentBaseUrl, m_config.privateAgentUrl}) {
        const int port = url.port();
        if (port <= 0)
            continue;
        if (auto uid = foreignListener(scanPortListeners(quint16(port)),
                                       answered && port == contacted.port()))
            return uid;
    }
    return std::nullopt;
}

void AppDelegate::presentForeignPort(const QString& uid) {
    if (m_state.foreignPortUid != uid)
        logDiagnostic(QStringLiteral("agent_port_foreign uid=") + uid);
    m_state.foreignPortUid = uid;
    updateStatus(false, StatusColor::Red, QStringLiteral("Порт агента занят другим пользователем"),
                 QStringLiteral("Порт %1 слушает программа другого пользователя этого "
                                "компьютера. Подпись и печать недоступны, пока он не освободится.")
                     .arg(m_config.privateAgentUrl.port()));
}

bool AppDelegate::agentPortIsOurs() {
    // Our agent is running whenever a privileged request is due, so the port
    // counts as answering: a listener not found among ours is not trusted.
    if (const std::optional<QString> uid = foreignAgentPort(m_config.privateAgentUrl, true)) {
        presentForeignPort(*uid);
        return false;
    }
    return true;
}

} // namespace kestrel
