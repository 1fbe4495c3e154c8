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
    // Sessions that send every request for the host to this server instead, trusting only
    // its certificate and still checking that against the host's name.
    struct Routing final : NetworkFactory, QNetworkAccessManager {
        explicit Routing(const UpdateHost& host, QObject* parent = nullptr)
            : QNetworkAccessManager(parent), host(host) {}
        QNetworkAccessManager* create(QObject* parent) override {
            return new Routing(host, parent);
        }
        QNetworkReply* createRequest(Operation operation, const QNetworkRequest& original,
                                     QIODevice* data) override {
            QNetworkRequest request(original);
            if (original.url().host() == updateHostName) {
                QUrl url = original.url();
                url.setAuthority(QString("127.0.0.1:%1").arg(host.port()));
                request.setUrl(url);
                request.setPeerVerifyName(updateHostName);
                QSslConfiguration tls = request.sslConfiguration();
                tls.setCaCertificates({QSslCertificate(host.certificate(), QSsl::Der)});
                request.setSslConfiguration(tls);
            }
            return QNetworkAccessManager::createRequest(operation, request, data);
        }
        const UpdateHost& host;
    };
};

} // namespace kestrel::test
