// The update pipeline at its size limit: a 300 MiB image from a local HTTPS
// server through the real download path (streaming, SHA-256 on a worker
// thread, partial file, move into place). Baselines measured in the same run
// against the same server: curl -o, then sha256sum, then cp into the folder
// (what a user or a script would do), and a plain QNAM download straight to a
// file (the floor: the transfer and the disk write, no hashing). Each client
// runs as a process of its own, so its peak memory is its own.
//
//   bench_update [runs]               the server and all measurements
//   bench_update --client real|plain PORT CERTIFICATE FOLDER SHA256

#include "BenchCommon.h"
#include "support/UpdateHost.h"
#include "update/Sha256.h"
#include "update/UpdateDownload.h"
#include "update/UpdateNetwork.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>

using namespace kestrel;
using namespace kestrel::bench;

namespace {

const QString host = QStringLiteral("updates.bench.example");
const QString name = QStringLiteral("KESTREL-Agent-9.9.9-macOS-AppleSilicon.dmg");
const QString path = QStringLiteral("/downloads/print-agent/") + name;
constexpr qint64 imageBytes = 314572800;

struct Measurement {
    double seconds = -1;
    double peakGrowthKiB = 0;
    // For the curl pipeline: its three steps.
    double parts[3] = {0, 0, 0};
};

// In a client process: prints "seconds growth" and returns the exit status.
int runClient(const QStringList& arguments) {
    const QString kind = arguments.value(2);
    const int port = arguments.value(3).toInt();
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(arguments.value(4));
    const QString folder = arguments.value(5);
    const QString sha256 = arguments.value(6);
    if (certificates.isEmpty())
        return 2;
    QNetworkAccessManager* session =
        new test::RoutingSession(host, port, certificates.first(), nullptr);
    configureUpdateSession(*session);
    const qint64 self = QCoreApplication::applicationPid();
    const double before = residentKiB(self);
    const QUrl url(QStringLiteral("https://") + host + path);
    QEventLoop loop;
    bool ok = false;
    double start = 0;

    if (kind == QLatin1String("real")) {
        UpdateDownload job(*session, DownloadPlan{.build = {.version = QStringLiteral("9.9.9"),
                                                            .filename = name,
                                                            .url = url,
                                                            .sha256 = sha256},
                                                  .appVersion = QStringLiteral("1.0.0"),
                                                  .downloadsFolder = folder,
                                                  .maximumBytes = imageBytes});
        QObject::connect(&job, &UpdateDownload::finished, &loop, [&](const DownloadResult& result) {
            ok = std::holds_alternative<QString>(result);
            loop.quit();
        });
        start = monotonicSeconds();
        job.start();
        loop.exec();
    } else {
        QFile file(folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::WriteOnly))
            return 3;
        start = monotonicSeconds();
        QNetworkReply* reply = session->get(updateRequest(url, QStringLiteral("1.0.0")));
        QObject::connect(reply, &QNetworkReply::readyRead, &loop,
                         [&] { file.write(reply->readAll()); });
        QObject::connect(reply, &QNetworkReply::finished, &loop, [&] {
            file.write(reply->readAll());
            file.close();
            ok = reply->error() == QNetworkReply::NoError && file.size() == imageBytes;
            loop.quit();
        });
        loop.exec();
    }
    const double seconds = monotonicSeconds() - start;
    if (!ok)
        return 4;
    std::printf("%.6f %.0f\n", seconds, peakResidentKiB(self) - before);
    return 0;
}

Measurement client(const QString& kind, int port, const QString& certificate, const QString& folder,
                   const QString& sha256) {
    QProcess process;
    process.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--client"), kind, QString::number(port), certificate, folder, sha256});
    process.waitForFinished(120000);
    const QList<QByteArray> fields = process.readAllStandardOutput().trimmed().split(' ');
    if (process.exitCode() != 0 || fields.size() != 2)
        return {};
    return {fields[0].toDouble(), fields[1].toDouble()};
}

// curl -o, sha256sum, cp: wall time of the three, one after the other.
Measurement curlPipeline(int port, const QString& certificate, const QString& work,
                         const QString& folder, const QString& sha256) {
    const QString downloaded = work + QStringLiteral("/download.dmg");
    Measurement m;
    const double start = monotonicSeconds();
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("-sf"), QStringLiteral("-o"), downloaded, QStringLiteral("--cacert"),
                certificate, QStringLiteral("--resolve"),
                QStringLiteral("%1:%2:127.0.0.1").arg(host).arg(port),
                QStringLiteral("https://%1:%2%3").arg(host).arg(port).arg(path)});
    if (!curl.waitForFinished(120000) || curl.exitCode() != 0)
        return {};
    m.parts[0] = monotonicSeconds() - start;
    QProcess sum;
    sum.start(QStringLiteral("sha256sum"), {downloaded});
    if (!sum.waitForFinished(120000) || !sum.readAllStandardOutput().startsWith(sha256.toLatin1()))
        return {};
    m.parts[1] = monotonicSeconds() - start - m.parts[0];
    QProcess copy;
    copy.start(QStringLiteral("cp"), {downloaded, folder + QLatin1Char('/') + name});
    if (!copy.waitForFinished(120000) || copy.exitCode() != 0)
        return {};
    m.seconds = monotonicSeconds() - start;
    m.parts[2] = m.seconds - m.parts[0] - m.parts[1];
    QFile::remove(downloaded);
    return m;
}

QString patternSha256() {
    Sha256 hash;
    for (qint64 offset = 0; offset < imageBytes; offset += Sha256::chunkBytes)
        hash.update(test::patternBytes(offset, std::min(Sha256::chunkBytes, imageBytes - offset)));
    return hash.finalHex();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.value(1) == QLatin1String("--client"))
        return runClient(arguments);
    const int runs = argc > 1 ? QByteArray(argv[1]).toInt() : 3;

    test::FakeAgent server(0, host);
    if (!server.isListening())
        return 2;
    server.setReply(path, {.patternSize = imageBytes});
    QTemporaryDir work;
    const QString certificate = work.filePath(QStringLiteral("server.pem"));
    QFile pem(certificate);
    if (!pem.open(QIODevice::WriteOnly) ||
        pem.write(QSslCertificate(server.certificate(), QSsl::Der).toPem()) < 0)
        return 2;
    pem.close();
    const QString folder = work.filePath(QStringLiteral("Downloads"));
    QDir().mkpath(folder);
    const QString sha256 = patternSha256();

    std::vector<double> real, plain, curl, growth, plainGrowth, curlParts[3];
    for (int run = 0; run < runs; ++run) {
        // The order changes from run to run, so no variant always finds the
        // page cache in the state another one left.
        for (int step = 0; step < 3; ++step) {
            QFile::remove(folder + QLatin1Char('/') + name);
            switch ((run + step) % 3) {
            case 0: {
                const Measurement m =
                    client(QStringLiteral("real"), server.port(), certificate, folder, sha256);
                real.push_back(m.seconds);
                growth.push_back(m.peakGrowthKiB);
                break;
            }
            case 1: {
                const Measurement m =
                    client(QStringLiteral("plain"), server.port(), certificate, folder, sha256);
                plain.push_back(m.seconds);
                plainGrowth.push_back(m.peakGrowthKiB);
                break;
            }
            default: {
                const Measurement m =
                    curlPipeline(server.port(), certificate, work.path(), folder, sha256);
                curl.push_back(m.seconds);
                for (int part = 0; part < 3; ++part)
                    curlParts[part].push_back(m.parts[part]);
            }
            }
        }
    }
    for (const auto* values : {&real, &plain, &curl}) {
        if (std::any_of(values->begin(), values->end(), [](double s) { return s < 0; })) {
            std::fprintf(stderr, "a download failed\n");
            return 1;
        }
    }

    printFigure("update.real_path_s", median(real), "s", "curl+sha256sum+cp", median(curl),
                "<= 0.4 x");
    printFigure("update.real_path_vs_plain_s", median(real), "s", "plain QNAM to a file",
                median(plain), "<= 1.2 x");
    printFigure("update.peak_memory_growth_mib", median(growth) / 1024, "MiB",
                "plain QNAM to a file", median(plainGrowth) / 1024, "<= 32 MiB");
    printValue("update.curl_alone_s", median(curlParts[0]), "s", "of the curl pipeline");
    printValue("update.sha256sum_s", median(curlParts[1]), "s", "of the curl pipeline");
    printValue("update.cp_s", median(curlParts[2]), "s", "of the curl pipeline");
    printValue("update.throughput_mib_s", double(imageBytes) / (1 << 20) / median(real), "MiB/s",
               "real path, 300 MiB");
    return 0;
}
