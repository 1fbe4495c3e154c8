// Downloads an image of exactly the largest accepted size and one a byte
// larger through the real download path (HTTPS, streaming hash, partial file,
// move into place) and reports time and peak memory.

#include "support/TlsTestServer.h"
#include "update/Sha256.h"
#include "update/UpdateDownload.h"
#include "update/UpdateNetwork.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <sys/resource.h>

using namespace kestrel;

namespace {

const QString host = QStringLiteral("updates.bench.example");
const QString name = QStringLiteral("KESTREL-Agent-9.9.9-macOS-AppleSilicon.dmg");
const QString path = QStringLiteral("/downloads/print-agent/") + name;
constexpr qint64 limit = 314572800;

QString patternSha256(qint64 size) {
    Sha256 hash;
    for (qint64 offset = 0; offset < size; offset += Sha256::chunkBytes)
        hash.update(test::patternBytes(offset, std::min(Sha256::chunkBytes, size - offset)));
    return hash.finalHex();
}

double peakMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

DownloadResult download(QNetworkAccessManager& session, const QString& folder,
                        const QString& sha256) {
    UpdateDownload job(session,
                       DownloadPlan{.build = {.version = QStringLiteral("9.9.9"),
                                              .filename = name,
                                              .url = QUrl(QStringLiteral("https://") + host + path),
                                              .sha256 = sha256},
                                    .appVersion = QStringLiteral("1.0.0"),
                                    .downloadsFolder = folder,
                                    .maximumBytes = limit});
    DownloadResult result;
    QEventLoop loop;
    QObject::connect(&job, &UpdateDownload::finished, &loop, [&](const DownloadResult& r) {
        result = r;
        loop.quit();
    });
    job.start();
    loop.exec();
    return result;
}

// `size` < 0: a body without length and without end.
bool run(test::TlsTestServer& server, QNetworkAccessManager& session, qint64 size,
         bool expectAccepted) {
    QTemporaryDir home;
    const QString folder = home.filePath(QStringLiteral("Downloads"));
    test::TlsResponse image;
    if (size >= 0)
        image.patternSize = size;
    else
        image.endless = true;
    server.setResponse(path, image);
    const QString sha256 = patternSha256(std::max<qint64>(size, 0));
    const qint64 sentBefore = server.bytesSent(path);

    QElapsedTimer timer;
    timer.start();
    const DownloadResult result = download(session, folder, sha256);
    const double seconds = static_cast<double>(timer.elapsed()) / 1000.0;

    const auto* placed = std::get_if<QString>(&result);
    const bool ok = expectAccepted ? placed && QFileInfo(*placed).size() == size
                                   : !placed && std::get<UpdateError>(result).message ==
                                                    updateMessages::badSize;
    std::printf(
        "image of %lld bytes: %s in %.2f s, server sent %lld bytes, peak RSS %.0f MiB: %s\n",
        static_cast<long long>(size),
        placed ? "placed" : qPrintable(std::get<UpdateError>(result).message), seconds,
        static_cast<long long>(server.bytesSent(path) - sentBefore), peakMiB(),
        ok ? "ok" : "WRONG");
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    test::TlsTestServer server(host);
    if (!server.isListening())
        return 2;
    const std::unique_ptr<QNetworkAccessManager> session(
        test::createRoutingManager(host, server.port(), server.certificate(), nullptr));
    configureUpdateSession(*session);

    const bool results[] = {run(server, *session, limit, true),
                            run(server, *session, limit + 1, false),
                            run(server, *session, -1, false)};
    const int passed = static_cast<int>(std::count(std::begin(results), std::end(results), true));
    std::printf("%d passed, %d failed\n", passed, static_cast<int>(std::size(results)) - passed);
    return passed == static_cast<int>(std::size(results)) ? 0 : 1;
}
