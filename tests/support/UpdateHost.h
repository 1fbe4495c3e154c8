#pragma once

// The update host as a local HTTPS server, with the session factory that sends
// a controller's requests for that host there and a way to publish a release.

#include "app/Config.h"
#include "platform/Platform.h"
#include "support/TlsTestServer.h"

#include <QCryptographicHash>
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

class UpdateHost : public TlsTestServer {
public:
    UpdateHost() : TlsTestServer(updateHostName) {}

    // For AppHarness::networkFactory, set before create().
    std::unique_ptr<NetworkFactory> factory() { return std::make_unique<Routing>(*this); }

    // Publishes `image` as the file `name` of `version` beside the manifest that `config`
    // reads, with `sha256` as its checksum (by default its body's own).
    void publish(const Config& config, const QString& version, const QString& name,
                 const TlsResponse& image, QString sha256 = {}) {
        const QUrl url = config.updateManifestUrl.resolved(QUrl(name));
        if (sha256.isEmpty())
            sha256 = QCryptographicHash::hash(image.body, QCryptographicHash::Sha256).toHex();
        setResponse(config.updateManifestUrl.path(),
                    {.body = manifestText(version, config.updatePlatform.buildKey, name,
                                          url.toString(), sha256)});
        setResponse(url.path(), image);
    }

private:
    struct Routing final : NetworkFactory {
        explicit Routing(UpdateHost& host) : host(host) {}
        QNetworkAccessManager* create(QObject* parent) override {
            return createRoutingManager(updateHostName, host.port(), host.certificate(), parent);
        }
        UpdateHost& host;
    };
};

} // namespace kestrel::test
