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

} // namespace kestrel::bench
