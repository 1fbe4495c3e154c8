#include "TlsTestServer.h"

#include <QNetworkAccessManager>
#include <QSslConfiguration>

namespace kestrel::test {

namespace {

struct RoutingManager : QNetworkAccessManager {
    RoutingManager(const QString& host, int port, const QSslCertificate& certificate,
                   QObject* parent)
        : QNetworkAccessManager(parent), host(host), port(port), certificate(certificate) {}
    const QString host;
    const int port;
    const QSslCertificate certificate;

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
};

} // namespace

void TlsTestServer::setResponse(const QString& path, const TlsResponse& response) {
    const HeaderList location{{"Location", response.redirectTo.toUtf8()}};
    m_agent.setReply(path, {.status = response.redirectTo.isEmpty() ? response.status : 302,
                            .body = response.body,
                            .headers = response.redirectTo.isEmpty() ? HeaderList() : location,
                            .patternSize = response.patternSize,
                            .endless = response.endless,
                            .holdHalfway = response.holdHalfway});
}

QStringList TlsTestServer::requestedPaths() const {
    QStringList paths;
    for (const RecordedRequest& request : m_agent.requests())
        paths.append(request.path);
    return paths;
}

QString TlsTestServer::lastUserAgent() const {
    const QList<RecordedRequest> requests = m_agent.requests();
    return requests.isEmpty() ? QString() : QString(requests.last().header("User-Agent"));
}

QNetworkAccessManager* createRoutingManager(const QString& hostName, int port,
                                            const QSslCertificate& certificate, QObject* parent) {
    return new RoutingManager(hostName, port, certificate, parent);
}

} // namespace kestrel::test
