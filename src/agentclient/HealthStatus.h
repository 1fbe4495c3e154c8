#pragma once

#include "agentclient/AgentHealth.h"
#include "agentclient/StatusRequest.h"

#include <QString>
#include <optional>

// What a health reply means, and the texts it produces. Free functions of
// plain values so that every rule is tested without a network or a window.
namespace kestrel {

// "http=200 error=none:0 valid=true version=1.0.0": what the log records of
// one health poll. valid and version come from the decoded body whatever the
// status code.
QString healthSummary(const std::optional<int>& statusCode,
                      const std::optional<TransportError>& error,
                      const std::optional<AgentHealth>& health);

// A poll result is logged when it is the first, when its summary changed, or
// on every 10th failure in a row (so a stuck agent stays visible in the log).
bool shouldLogHealth(const std::optional<QString>& lastLogged, const QString& summary,
                     qint64 failures);

// Only status 200 with a decoded body whose ok is true counts.
bool isHealthy(const std::optional<int>& statusCode, const std::optional<AgentHealth>& health);

enum class HealthVerdict {
    NotHealthy,     // starting: ask for the agent to be started
    ForeignVersion, // an agent of another version holds the port
    Ready,
};

HealthVerdict decideHealth(const std::optional<int>& statusCode,
                           const std::optional<AgentHealth>& health, const QString& appVersion);

// An agent we have just started needs a few milliseconds before it listens,
// so the poll that follows its start is refused. While nothing answered at
// all and our agent is younger than the start-up window, the controller polls
// again after a short pause instead of leaving the user on "starting" until
// the next 3-second tick.
inline constexpr double agentStartupWindowSeconds = 2.0;
bool shouldPollAgainSoon(const std::optional<int>& statusCode, bool agentRunning,
                         const std::optional<double>& agentStartedAt, double now);

// The pause before that poll: 10 ms while a normal start (a few tens of
// milliseconds) is still under way, growing with the agent's age to 100 ms,
// so a slow start costs no more than a few dozen quick polls.
int agentStartupPollDelayMs(double secondsSinceStart);

// Texts of the status line.
QString startingTitle();
QString startingDetails();
QString foreignVersionTitle(const QString& agentVersion);
QString foreignVersionDetails();
QString readyTitle();
QString readyDetails(const AgentHealth& health);

// "Подпись: <message>[ · <organization>]".
QString signingLine(const SigningStatus& signing);
bool needsCredentialAccess(const SigningStatus& signing);

struct SigningButtonState {
    QString title;
    bool enabled = false;

    bool operator==(const SigningButtonState&) const = default;
};

// The signing button while an unlock is running, when the agent's
// credentials are locked, and otherwise.
SigningButtonState signingButtonState(bool credentialAccessInFlight, bool needsCredentialAccess);

} // namespace kestrel
