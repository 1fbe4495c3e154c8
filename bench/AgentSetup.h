#pragma once

// The application controller of the benchmarks: a real AppDelegate in a
// temporary home whose bundle carries the reference agent built beside it,
// and a session that tells when each health poll is sent and handled.

#include "support/AppHarness.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <functional>

namespace kestrel::bench {

class ObservedSession final : public QNetworkAccessManager {
    Q_OBJECT
public:
    using QNetworkAccessManager::QNetworkAccessManager;

signals:
    void pollSent();
    // The reply is complete; the controller has not handled it yet.
    void pollAnswered();
    // The controller has handled the reply.
    void pollHandled();

protected:
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest& request,
                                 QIODevice* body) override {
        QNetworkReply* reply = QNetworkAccessManager::createRequest(operation, request, body);
        if (request.url().path() == QLatin1String("/v1/health")) {
            emit pollSent();
            connect(reply, &QNetworkReply::finished, this, &ObservedSession::pollAnswered);
            connect(reply, &QNetworkReply::finished, this, &ObservedSession::pollHandled,
                    Qt::QueuedConnection);
        }
        return reply;
    }
};

class ObservedSessions final : public NetworkFactory {
public:
    QNetworkAccessManager* create(QObject* parent) override {
        auto* session = new ObservedSession(parent);
        if (onCreate)
            onCreate(session);
        return session;
    }
    std::function<void(ObservedSession*)> onCreate;
};

// Puts the built reference agent into the harness's bundle.
inline bool installReferenceAgent(test::AppHarness& harness) {
    QFile::remove(harness.agentPath());
    return QFile::copy(QStringLiteral(KESTREL_AGENT_EXECUTABLE), harness.agentPath());
}

// The harness with the reference agent, polls left to the benchmark, no
// update server, and sessions that tell about each poll; nothing when the
// agent could not be put in place.
inline ObservedSessions* prepareForPolls(test::AppHarness& harness) {
    if (!installReferenceAgent(harness))
        return nullptr;
    harness.config.pollInterval = 3600.0;
    harness.config.updateManifestUrl = QUrl(QStringLiteral("https://127.0.0.1:9/latest.json"));
    auto sessions = std::make_unique<ObservedSessions>();
    ObservedSessions* const observed = sessions.get();
    harness.networkFactory = std::move(sessions);
    return observed;
}

} // namespace kestrel::bench
