// The health reply: decoding, and everything the controller derives from a
// decoded reply (log summary, verdict, status and signing texts).

#include "FuzzCheck.h"
#include "agentclient/AgentHealth.h"
#include "agentclient/HealthStatus.h"
#include "log/LogLine.h"

#include "json/StrictJson.h"
#include <QByteArray>
#include <QDateTime>
#include <QJsonDocument>
#include <cstddef>
#include <cstdint>

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<AgentHealth> health = AgentHealth::fromBody(body);

    const QString summary = healthSummary(200, std::nullopt, health);
    FUZZ_CHECK(summary.startsWith(QStringLiteral("http=200 error=none:0 valid=")));
    FUZZ_CHECK(summary.contains(QStringLiteral(" valid=true ")) == (health && health->ok()));

    // Whatever the agent reports, its log line stays one line.
    const QString line = formatLogLine(QDateTime::fromMSecsSinceEpoch(0), QStringLiteral("L"), 0.0,
                                       QStringLiteral("health_result ") + summary);
    FUZZ_CHECK(line.indexOf(QLatin1Char('\n')) == line.size() - 1);

    const HealthVerdict verdict = decideHealth(200, health, QStringLiteral("1.0.0"));
    if (!health) {
        FUZZ_CHECK(verdict == HealthVerdict::NotHealthy);
        return 0;
    }
    FUZZ_CHECK((verdict == HealthVerdict::Ready) ==
               (health->ok() && health->version() == QLatin1String("1.0.0")));
    FUZZ_CHECK(decideHealth(500, health, health->version()) == HealthVerdict::NotHealthy);
    FUZZ_CHECK(readyDetails(*health).contains(health->deviceId()));
    if (const std::optional<SigningStatus>& signing = health->signing()) {
        FUZZ_CHECK(
            signingLine(*signing).startsWith(QStringLiteral("Подпись: ") + signing->message()));
        FUZZ_CHECK(needsCredentialAccess(*signing) ==
                   (signing->code() == QLatin1String("keychain_locked")));
    }

    // A decoded reply decodes the same after Qt writes it out again.
    const std::optional<QJsonObject> object = json::parseObject(body);
    FUZZ_CHECK(object.has_value());
    const std::optional<AgentHealth> again =
        AgentHealth::fromBody(QJsonDocument(*object).toJson(QJsonDocument::Compact));
    FUZZ_CHECK(again && again->version() == health->version() && again->ok() == health->ok() &&
               again->formats() == health->formats() &&
               again->signing().has_value() == health->signing().has_value());
    return 0;
}
