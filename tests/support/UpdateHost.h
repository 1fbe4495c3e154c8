#pragma once

// The update host as a local HTTPS server, with the session factory that sends
// a controller's requests for that host there and a way to publish a release.

#include "app/Config.h"
#include "platform/Platform.h"
#include "support/FakeAgent.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <memory>

namespace kestrel::test {

inline const QString updateHostName = QStringLiteral("updates.kestrel.example");

// A manifest publishing `version` with one build under `key`.
inline QByteArray manifestText(const QString& version, const QString& key, const QString& name,
                               const QString& url, const QString& sha256) {
    return QStringLiteral(R"({"version": "%1", "builds": {"%2": {"filename": "%3",
        "url": "%4", "sha256": "%5"}}})")
        .arg(version, key, name, url, sha256)
        .toUtf8();
}

// A session that sends every request for `host` to 127.0.0.1:`port` instead,
// trusting only `certificate` and still checking it against `host`.
struct RoutingSession final : QNetworkAccessManager {
    RoutingSession(const QString& host, int port, const QSslCertificate& certificate,
                   QObject* parent)
        : QNetworkAccessManager(parent), host(host), port(port), certificate(certificate) {}
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest& original,
                                 QIODevice* data) override {
        QNetworkRequest request(original);
        if (original.url().host() == host) {
            QUrl url = original.url();
            url.setHost(QStringLiteral("127.0.0.1"));
            url.setPort(port);
            request.setUrl(url);
            request.setPeerVerifyName(host);
            QSslConfiguration tls = request.sslConfiguration();
            tls.setCaCertificates({certificate});
            request.setSslConfiguration(tls);
        }
        return QNetworkAccessManager::createRequest(operation, request, data);
    }
    const QString host;
    const int port;
    const QSslCertificate certificate;
};

// HTTPS on 127.0.0.1 with a certificate made at start for the update host's name.
class UpdateHost : public FakeAgent {
public:
    UpdateHost() : FakeAgent(0, updateHostName) {}

    // For AppHarness::networkFactory, set before create().
    std::unique_ptr<NetworkFactory> factory() { return std::make_unique<Routing>(*this); }

    // Publishes `image` as the file `name` of `version` beside the manifest that `config`
    // reads, with `sha256` as its checksum (by default its body's own).
    void publish(const Config& config, const QString& version, const QString& name,
                 const FakeReply& image, QString sha256 = {}) {
        const QUrl url = config.updateManifestUrl.resolved(QUrl(name));
        if (sha256.isEmpty())
            sha256 = QCryptographicHash::hash(image.body, QCryptographicHash::Sha256).toHex();
        setReply(config.updateManifestUrl.path(),
                 {.body = manifestText(version, config.updatePlatform.buildKey, name,
                                       url.toString(), sha256)});
        setReply(url.path(), image);
    }

private:
    struct Routing final : NetworkFactory {
        explicit Routing(const UpdateHost& host) : host(host) {}
        QNetworkAccessManager* create(QObject* parent) override {
            return new RoutingSession(updateHostName, host.port(),
                                      QSslCertificate(host.certificate(), QSsl::Der), parent);
        }
        const UpdateHost& host;
    };
};

} // namespace kestrel::test
