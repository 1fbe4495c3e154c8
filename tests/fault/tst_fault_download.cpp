// Update downloads that cannot be stored: the disk fills up halfway, or the
// Downloads folder cannot be had at all. The user gets the alert with the
// system's reason, no partial file stays behind and what was there before is
// left as it was.

#include "support/AppHarness.h"
#include "support/TlsTestServer.h"
#include "ui/MainWindow.h"
#include "update/Sha256.h"

#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/resource.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString updateHost = QStringLiteral("updates.kestrel.example");
const QString manifestPath = QStringLiteral("/downloads/print-agent/latest-macos.json");
const QString imageName = QStringLiteral("KESTREL-Agent-1.4.2-macOS-AppleSilicon.dmg");
const QString imagePath = QStringLiteral("/downloads/print-agent/") + imageName;
constexpr qint64 imageBytes = 4 * Sha256::chunkBytes;
// What the full disk still takes: not a whole number of the pieces the image
// is written in, so one write is cut short before the next one fails.
constexpr qint64 roomBytes = Sha256::chunkBytes + Sha256::chunkBytes / 2;
const QByteArray oldImage(100 * 1024, 'o');

class RoutingFactory final : public NetworkFactory {
public:
    RoutingFactory(int port, QSslCertificate certificate)
        : m_port(port), m_certificate(std::move(certificate)) {}
    QNetworkAccessManager* create(QObject* parent) override {
        return createRoutingManager(updateHost, m_port, m_certificate, parent);
    }

private:
    int m_port;
    QSslCertificate m_certificate;
};

QByteArray manifest() {
    Sha256 hash;
    for (qint64 offset = 0; offset < imageBytes; offset += Sha256::chunkBytes)
        hash.update(patternBytes(offset, Sha256::chunkBytes));
    return QStringLiteral("{\"version\": \"1.4.2\", \"builds\": {\"macos-arm64\": {\"filename\": "
                          "\"%1\", \"url\": \"https://%2%3\", \"sha256\": \"%4\"}}}")
        .arg(imageName, updateHost, imagePath, hash.finalHex())
        .toUtf8();
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// The Downloads folder on a file system with little room: a small tmpfs where
// mounting is allowed, else a limit on the size of files this process writes.
// Either way the write of the image fails in the kernel, part of the way in.
class FullDisk {
public:
    explicit FullDisk(const QString& folder) : m_folder(folder) {
        QDir().mkpath(folder);
        const QByteArray options =
            "size=" + QByteArray::number(oldImage.size() + roomBytes) + ",mode=0700";
        if (::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                    options.constData()) == 0) {
            m_mounted = true;
            expectedError = ENOSPC;
            return;
        }
        // Past the limit a write fails with EFBIG, and SIGXFSZ would end the
        // process unless ignored.
        ::getrlimit(RLIMIT_FSIZE, &m_limit);
        m_oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_limit;
        limit.rlim_cur = rlim_t(oldImage.size() + roomBytes);
        ::setrlimit(RLIMIT_FSIZE, &limit);
        expectedError = EFBIG;
    }
    ~FullDisk() {
        if (m_mounted) {
            ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH);
        } else {
            ::setrlimit(RLIMIT_FSIZE, &m_limit);
            std::signal(SIGXFSZ, m_oldSignal);
        }
    }
    bool mounted() const { return m_mounted; }

    int expectedError = 0;

private:
    QString m_folder;
    bool m_mounted = false;
    rlimit m_limit{};
    void (*m_oldSignal)(int) = SIG_DFL;
};

} // namespace

class FaultDownloadTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_server = std::make_unique<TlsTestServer>(updateHost);
        QVERIFY(m_server->isListening());
        m_server->setResponse(manifestPath, {.body = manifest()});
        m_server->setResponse(imagePath, {.patternSize = imageBytes});
        m_harness = std::make_unique<AppHarness>();
        // Nothing answers here: the agent poll must not reach a real agent.
        m_harness->config.agentBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:9"));
        m_harness->networkFactory =
            std::make_unique<RoutingFactory>(m_server->port(), m_server->certificate());
    }

    void cleanup() {
        m_harness.reset();
        m_server.reset();
    }

    void diskFullHalfway() {
        const QString folder = m_harness->downloadsFolder();
        FullDisk disk(folder);
        qInfo("full disk made with %s", disk.mounted() ? "a small tmpfs" : "a file size limit");
        QFile old(QDir(folder).filePath(imageName));
        QVERIFY(old.open(QIODevice::WriteOnly));
        QCOMPARE(old.write(oldImage), qint64(oldImage.size()));
        old.close();

        QVERIFY(downloadFails());
        QCOMPARE(m_harness->presenter->alerts.first().message, systemText(disk.expectedError));
        // The old image stays whole and nothing else is left beside it.
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{imageName});
        QCOMPARE(readAll(old.fileName()), oldImage);
    }

    // A file where the Downloads folder should be: the folder cannot be made,
    // whoever runs the test (permissions do not stop root).
    void downloadsFolderCannotBeMade() {
        const QString folder = m_harness->downloadsFolder();
        QFile blocker(folder);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.write("not a folder");
        blocker.close();

        QVERIFY(downloadFails());
        QCOMPARE(m_harness->presenter->alerts.first().message, systemText(ENOTDIR));
        QCOMPARE(readAll(folder), QByteArray("not a folder"));
        QCOMPARE(QDir(m_harness->home.path())
                     .entryList({QStringLiteral("*.part")}, QDir::Files | QDir::Hidden),
                 QStringList{});
    }

private:
    // Launches, presses the update button once the build is known and waits
    // for the alert.
    bool downloadFails() {
        AppDelegate& delegate = m_harness->launch();
        if (!QTest::qWaitFor([&] { return delegate.state().availableUpdate.has_value(); }, 15000))
            return false;
        delegate.window()->updateButton()->click();
        if (!QTest::qWaitFor([&] { return !m_harness->presenter->alerts.isEmpty(); }, 30000))
            return false;
        return m_harness->presenter->alerts.size() == 1 &&
               m_harness->presenter->alerts.first().title ==
                   QStringLiteral("Обновление не скачано") &&
               m_harness->desktop->revealed.isEmpty() &&
               delegate.window()->updateLabel()->text() ==
                   QStringLiteral("Не удалось скачать обновление.");
    }

    std::unique_ptr<TlsTestServer> m_server;
    std::unique_ptr<AppHarness> m_harness;
};

QTEST_MAIN(FaultDownloadTest)
#include "tst_fault_download.moc"
