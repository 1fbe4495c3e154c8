#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QObject;

namespace kestrel {

// One privileged request to the agent: POST <base>/<path> carrying the
// application secret, with the pairing token in the body when there is one.
struct PairingRequestParams {
    QUrl base;
    QString path;
    QString secret;
    std::optional<QString> ticket;
    // The text the caller gets when the request fails and the agent gave none.
    QString failureMessage;
};

// How long the agent may take. The agent may be waiting on the user (a
// credential prompt), so it gets the whole three minutes before the request
// is given up, whether or not bytes trickle in meanwhile.
struct PairingLimits {
    std::chrono::milliseconds idle{std::chrono::minutes(3)};
    std::chrono::milliseconds whole{std::chrono::minutes(3)};
    // A longer reply is cut off at once and fails with the request's own text.
    qint64 maximumBodyBytes = 1024 * 1024;
};

// The reply body on success, otherwise the text to show.
struct PairingOutcome {
    std::optional<QByteArray> body;
    QString failure;
};

QUrl pairingRequestUrl(const QUrl& base, const QString& path);
// `{}` without a ticket, `{"pairingToken":"…"}` with one; compact.
QByteArray pairingRequestBody(const std::optional<QString>& ticket);
// The "error" member of a JSON object body when it is a string.
std::optional<QString> agentErrorMessage(const QByteArray& body);
// Success only for status 200 without a transport error; otherwise the
// agent's own message, else `failureMessage`.
PairingOutcome judgePairingReply(std::optional<int> status, bool transportOk,
                                 const QByteArray& body, const QString& failureMessage);

// Makes a session fit for privileged requests: no proxy of any kind, no
// redirects followed.
void configurePairingSession(QNetworkAccessManager& session);

// Sends one request on `session` and returns at once. `done` runs exactly once,
// from the event loop of `context`'s thread, and never once `context` is gone.
void sendPairingRequest(QNetworkAccessManager& session, const PairingRequestParams& params,
                        QObject* context, std::function<void(PairingOutcome)> done,
                        PairingLimits limits = {});

} // namespace kestrel
