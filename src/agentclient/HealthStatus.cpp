#include "HealthStatus.h"

#include <algorithm>

namespace kestrel {

namespace {

QString boolText(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

QString healthSummary(const std::optional<int>& statusCode,
                      const std::optional<TransportError>& error,
                      const std::optional<AgentHealth>& health) {
    return QStringLiteral("http=%1 error=%2 valid=%3 version=%4")
        .arg(QString::number(statusCode.value_or(0)), errorText(error),
             boolText(health && health->ok()), health ? health->version() : QStringLiteral("none"));
}

bool shouldLogHealth(const std::optional<QString>& lastLogged, const QString& summary,
                     qint64 failures) {
    return !lastLogged || *lastLogged != summary || (failures >= 1 && failures % 10 == 0);
}

bool isHealthy(const std::optional<int>& statusCode, const std::optional<AgentHealth>& health) {
    return statusCode == 200 && health && health->ok();
}

HealthVerdict decideHealth(const std::optional<int>& statusCode,
                           const std::optional<AgentHealth>& health, const QString& appVersion) {
    if (!isHealthy(statusCode, health))
        return HealthVerdict::NotHealthy;
    if (health->version() != appVersion)
        return HealthVerdict::ForeignVersion;
    return HealthVerdict::Ready;
}

QString startingTitle() {
    return QStringLiteral("Служба запускается…");
}

QString startingDetails() {
    return QStringLiteral("Приложение повторит подключение автоматически.");
}

QString foreignVersionTitle(const QString& agentVersion) {
    return QStringLiteral("Найдена старая служба версии ") + agentVersion;
}

QString foreignVersionDetails() {
    return QStringLiteral("Завершите старую версию программы и снова откройте эту.");
}

QString readyTitle() {
    return QStringLiteral("Агент работает");
}

QString readyDetails(const AgentHealth& health) {
    return QStringLiteral("Версия ") + health.version() + QStringLiteral(" · ") +
           health.architecture() + QStringLiteral(" · устройство ") + health.deviceId();
}

QString signingLine(const SigningStatus& signing) {
    QString line = QStringLiteral("Подпись: ") + signing.message();
    if (signing.organizationName())
        line += QStringLiteral(" · ") + *signing.organizationName();
    return line;
}

bool needsCredentialAccess(const SigningStatus& signing) {
    return signing.code() == QStringLiteral("keychain_locked");
}

SigningButtonState signingButtonState(bool credentialAccessInFlight, bool needsCredentialAccess) {
    if (credentialAccessInFlight)
        return {QStringLiteral("Ожидаем разрешение…"), false};
    if (needsCredentialAccess)
        return {QStringLiteral("Разрешить доступ"), true};
    return {QStringLiteral("Настроить в кабинете"), true};
}

bool shouldPollAgainSoon(const std::optional<int>& statusCode, bool agentRunning,
                         const std::optional<double>& agentStartedAt, double now) {
    return !statusCode && agentRunning && agentStartedAt &&
           now - *agentStartedAt < agentStartupWindowSeconds;
}

int agentStartupPollDelayMs(double secondsSinceStart) {
    return std::clamp(static_cast<int>(secondsSinceStart * 250), 10, 100);
}

} // namespace kestrel
