#include "TlsTestServer.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <chrono>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace kestrel::test {

namespace {

constexpr qint64 chunkBytes = 64 * 1024;
// An endless body still ends somewhere, in case a client never stops reading.
constexpr qint64 endlessBound = qint64(1) << 30;
constexpr auto longestHold = std::chrono::seconds(30);

struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct FreeCertificate {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct FreeBio {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

std::unique_ptr<X509, FreeCertificate> makeCertificate(EVP_PKEY* key, const QString& hostName) {
    std::unique_ptr<X509, FreeCertificate> certificate(X509_new());
    X509* cert = certificate.get();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(std::time(nullptr)));
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    const QByteArray host = hostName.toLatin1();
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(host.constData()), -1, -1, 0);
    X509_set_issuer_name(cert, name);

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    const QByteArray altNames = "DNS:" + host + ",IP:127.0.0.1";
    X509_EXTENSION* extension =
        X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, altNames.constData());
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);

    X509_sign(cert, key, EVP_sha256());
    return certificate;
}

QByteArray pem(X509* certificate) {
    std::unique_ptr<BIO, FreeBio> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), certificate);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, size);
}

class RoutingManager : public QNetworkAccessManager {
public:
    RoutingManager(QString hostName, int port, QSslCertificate certificate, QObject* parent)
        : QNetworkAccessManager(parent), m_hostName(std::move(hostName)), m_port(port),
          m_certificate(std::move(certificate)) {}

protected:
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest& original,
                                 QIODevice* data) override {
        if (original.url().host() != m_hostName)
            return QNetworkAccessManager::createRequest(operation, original, data);
        QNetworkRequest request(original);
        QUrl url = original.url();
        url.setHost(QStringLiteral("127.0.0.1"));
        url.setPort(m_port);
        request.setUrl(url);
        request.setPeerVerifyName(m_hostName);
        QSslConfiguration tls = request.sslConfiguration();
        tls.setCaCertificates({m_certificate});
        request.setSslConfiguration(tls);
        return QNetworkAccessManager::createRequest(operation, request, data);
    }

private:
    const QString m_hostName;
    const int m_port;
    const QSslCertificate m_certificate;
};

} // namespace

struct TlsTestServer::Keys {
    std::unique_ptr<EVP_PKEY, FreeKey> key;
    std::unique_ptr<X509, FreeCertificate> certificate;
};

QByteArray patternBytes(qint64 offset, qint64 size) {
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i) {
        const quint64 position = static_cast<quint64>(offset + i);
        data[i] = static_cast<char>((position * 2654435761u) >> 13);
    }
    return data;
}

TlsTestServer::TlsTestServer(const QString& hostName)
    : m_hostName(hostName), m_keys(std::make_unique<Keys>()) {
    m_keys->key.reset(EVP_EC_gen("P-256"));
    m_keys->certificate = makeCertificate(m_keys->key.get(), hostName);
    m_certificate = QSslCertificate(pem(m_keys->certificate.get()));

    m_server = std::make_unique<httplib::SSLServer>(m_keys->certificate.get(), m_keys->key.get());
    // Held replies each keep a worker busy.
    m_server->new_task_queue = [] { return new httplib::ThreadPool(16); };
    m_server->Get(R"(/.*)", [this](const httplib::Request& request, httplib::Response& response) {
        handle(request.path, request.get_header_value("User-Agent"), &response);
    });
    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0)
        return;
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    // stop() is lost on a server that has not begun listening yet.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!m_server->is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TlsTestServer::~TlsTestServer() {
    stop();
}

void TlsTestServer::stop() {
    release();
    if (m_thread.joinable()) {
        m_server->stop();
        m_thread.join();
    }
}

void TlsTestServer::setResponse(const QString& path, TlsResponse response) {
    const std::lock_guard lock(m_mutex);
    m_responses[path] = std::move(response);
}

void TlsTestServer::release() {
    {
        const std::lock_guard lock(m_mutex);
        m_isReleased = true;
    }
    m_released.notify_all();
}

void TlsTestServer::waitForRelease() {
    std::unique_lock lock(m_mutex);
    m_released.wait_for(lock, longestHold, [this] { return m_isReleased; });
}

QStringList TlsTestServer::requestedPaths() const {
    const std::lock_guard lock(m_mutex);
    return m_requestedPaths;
}

QString TlsTestServer::lastUserAgent() const {
    const std::lock_guard lock(m_mutex);
    return m_lastUserAgent;
}

qint64 TlsTestServer::bytesSent(const QString& path) const {
    const std::lock_guard lock(m_mutex);
    const auto it = m_bytesSent.find(path);
    return it == m_bytesSent.end() ? 0 : it->second;
}

int TlsTestServer::activeResponses() const {
    const std::lock_guard lock(m_mutex);
    return m_active;
}

void TlsTestServer::handle(const std::string& rawPath, const std::string& userAgent, void* out) {
    auto& response = *static_cast<httplib::Response*>(out);
    const QString path = QString::fromStdString(rawPath);
    std::optional<TlsResponse> planned;
    {
        const std::lock_guard lock(m_mutex);
        m_requestedPaths.append(path);
        m_lastUserAgent = QString::fromStdString(userAgent);
        if (const auto it = m_responses.find(path); it != m_responses.end())
            planned = it->second;
    }
    if (!planned) {
        response.status = 404;
        response.set_content("not found", "text/plain");
        return;
    }
    if (!planned->redirectTo.isEmpty()) {
        response.set_redirect(planned->redirectTo.toStdString(), 302);
        return;
    }
    response.status = planned->status;
    const qint64 size = planned->patternSize.value_or(planned->body.size());
    if (!planned->endless && size == 0) {
        response.set_content("", "application/octet-stream");
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        ++m_active;
    }
    const auto finished = [this](bool) {
        const std::lock_guard lock(m_mutex);
        --m_active;
    };
    if (planned->endless) {
        response.set_content_provider(
            "application/octet-stream",
            [this, path, plan = *planned](size_t offset, httplib::DataSink& sink) {
                if (static_cast<qint64>(offset) >= endlessBound) {
                    sink.done();
                    return true;
                }
                return writeChunk(path, plan, static_cast<qint64>(offset), chunkBytes, &sink);
            },
            finished);
        return;
    }
    response.set_content_provider(
        static_cast<size_t>(size), "application/octet-stream",
        [this, path, plan = *planned, size](size_t offset, size_t length, httplib::DataSink& sink) {
            const qint64 at = static_cast<qint64>(offset);
            const qint64 half = size / 2;
            if (plan.holdHalfway && at == half)
                waitForRelease();
            qint64 count = std::min<qint64>(static_cast<qint64>(length), chunkBytes);
            if (plan.holdHalfway && at < half)
                count = std::min(count, half - at);
            return writeChunk(path, plan, at, count, &sink);
        },
        finished);
}

bool TlsTestServer::writeChunk(const QString& path, const TlsResponse& plan, qint64 offset,
                               qint64 size, void* out) {
    auto& sink = *static_cast<httplib::DataSink*>(out);
    const QByteArray data = (plan.patternSize || plan.endless) ? patternBytes(offset, size)
                                                               : plan.body.mid(offset, size);
    if (!sink.write(data.constData(), static_cast<size_t>(data.size())))
        return false;
    const std::lock_guard lock(m_mutex);
    m_bytesSent[path] += data.size();
    return true;
}

QNetworkAccessManager* createRoutingManager(const QString& hostName, int port,
                                            const QSslCertificate& certificate, QObject* parent) {
    return new RoutingManager(hostName, port, certificate, parent);
}

} // namespace kestrel::test
