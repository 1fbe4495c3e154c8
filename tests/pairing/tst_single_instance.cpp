#include "platform/SingleInstance.h"
#include "platform/UrlOpenEvents.h"

#include <QFileInfo>
#include <QFileOpenEvent>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kestrel;

namespace {

const QString pairingLink =
    QStringLiteral("kestrel://connect?pairingToken=") + QStringLiteral("_-").repeated(32);

// A second start, run off the main thread because it blocks until the
// primary, which lives on the main thread, answers.
std::future<bool> startSecond(const QString& folder, const QStringList& arguments) {
    return std::async(std::launch::async, [folder, arguments] {
        SingleInstance second(folder, nullptr);
        return second.forwardToRunning(arguments);
    });
}

bool finished(const std::future<bool>& future) {
    return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

// What a primary that crashed leaves behind: a socket file nobody listens on.
bool leaveStaleSocket(const QString& path) {
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(path);
    std::copy(native.begin(), native.end(), address.sun_path);
    const bool bound =
        ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(descriptor);
    return bound && QFileInfo::exists(path);
}

mode_t modeOf(const QString& path) {
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode;
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT
private slots:
    void init();

    void forwardsArguments_data();
    void forwardsArguments();
    void nothingRunning();
    void replacesStaleSocket();
    void keepsLiveSocket();
    void socketIsPrivate();
    void dropsMalformedMessages_data();
    void dropsMalformedMessages();

    void runtimeFolder_data();
    void runtimeFolder();
    void refusesFallbackOwnedByAnother();

    void urlOpenEvents_data();
    void urlOpenEvents();

private:
    std::unique_ptr<QTemporaryDir> m_folder;
};

void TestSingleInstance::init() {
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
}

void TestSingleInstance::forwardsArguments_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("one pairingLink") << QStringList{pairingLink};
    QTest::newRow("two links") << QStringList{pairingLink, QStringLiteral("kestrel://connect")};
    QTest::newRow("not a pairingLink") << QStringList{QStringLiteral("--verbose")};
    QTest::newRow("none") << QStringList{};
}

void TestSingleInstance::forwardsArguments() {
    QFETCH(QStringList, arguments);
    SingleInstance primary(m_folder->path(), nullptr);
    QVERIFY(!primary.forwardToRunning({}));
    QVERIFY(primary.listen());
    QSignalSpy links(&primary, &SingleInstance::linksReceived);
    QSignalSpy shows(&primary, &SingleInstance::showRequested);

    auto second = startSecond(m_folder->path(), arguments);
    QTRY_VERIFY(finished(second));
    QVERIFY(second.get());

    if (arguments.isEmpty()) {
        QTRY_COMPARE(shows.size(), 1);
        QCOMPARE(links.size(), 0);
    } else {
        QTRY_COMPARE(links.size(), 1);
        QCOMPARE(links.first().first().value<QList<QUrl>>(),
                 SingleInstance::linksFromArguments(arguments));
        QCOMPARE(shows.size(), 0);
    }
}

void TestSingleInstance::nothingRunning() {
    SingleInstance first(m_folder->path(), nullptr);
    QVERIFY(!first.forwardToRunning({pairingLink}));
    QVERIFY(first.listen());
}

void TestSingleInstance::replacesStaleSocket() {
    SingleInstance probe(m_folder->path(), nullptr);
    QVERIFY(leaveStaleSocket(probe.socketPath()));

    SingleInstance primary(m_folder->path(), nullptr);
    QVERIFY(!primary.forwardToRunning({pairingLink}));
    QVERIFY(primary.listen());
    QSignalSpy links(&primary, &SingleInstance::linksReceived);
    auto second = startSecond(m_folder->path(), {pairingLink});
    QTRY_COMPARE(links.size(), 1);
    QTRY_VERIFY(finished(second));
    QVERIFY(second.get());
}

void TestSingleInstance::keepsLiveSocket() {
    SingleInstance primary(m_folder->path(), nullptr);
    QVERIFY(primary.listen());
    QSignalSpy links(&primary, &SingleInstance::linksReceived);

    // The live socket answers the probe, so a late listener leaves it alone.
    auto late = std::async(std::launch::async, [folder = m_folder->path()] {
        SingleInstance other(folder, nullptr);
        return other.listen();
    });
    QTRY_VERIFY(finished(late));
    QVERIFY(!late.get());

    auto second = startSecond(m_folder->path(), {pairingLink});
    QTRY_COMPARE(links.size(), 1);
    QTRY_VERIFY(finished(second));
    QVERIFY(second.get());
}

void TestSingleInstance::socketIsPrivate() {
    SingleInstance primary(m_folder->path(), nullptr);
    QVERIFY(primary.listen());
    const mode_t mode = modeOf(primary.socketPath());
    QVERIFY(S_ISSOCK(mode));
    QCOMPARE(mode & 077, mode_t(0));
}

void TestSingleInstance::dropsMalformedMessages_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("wrong magic") << QByteArray("KESTREL9\0\0\0\0", 12);
    QTest::newRow("oversized body") << QByteArray("KESTREL1\x7f\0\0\0", 12);
    QTest::newRow("truncated body") << QByteArray("KESTREL1\0\0\0\x10"
                                                  "abc",
                                                  15);
}

void TestSingleInstance::dropsMalformedMessages() {
    QFETCH(QByteArray, message);
    SingleInstance primary(m_folder->path(), nullptr);
    QVERIFY(primary.listen());
    QSignalSpy links(&primary, &SingleInstance::linksReceived);
    QSignalSpy shows(&primary, &SingleInstance::showRequested);

    QLocalSocket client;
    client.connectToServer(primary.socketPath());
    QVERIFY(client.waitForConnected(1000));
    client.write(message);
    client.flush();
    // The primary either hangs up at once or, for a message that never
    // completes, after its deadline; it never answers.
    QSignalSpy gone(&client, &QLocalSocket::disconnected);
    QVERIFY(gone.wait(8000));
    QCOMPARE(client.bytesAvailable(), 0);
    QCOMPARE(links.size() + shows.size(), 0);

    // And it still serves well-formed starts.
    auto second = startSecond(m_folder->path(), {pairingLink});
    QTRY_COMPARE(links.size(), 1);
    QTRY_VERIFY(finished(second));
    QVERIFY(second.get());
}

void TestSingleInstance::runtimeFolder_data() {
    QTest::addColumn<QString>("runtime"); // "private", "open", "unset", "relative", "missing"
    QTest::addColumn<bool>("usesRuntime");
    QTest::newRow("private runtime folder") << "private" << true;
    QTest::newRow("runtime folder open to others") << "open" << false;
    QTest::newRow("no runtime folder") << "unset" << false;
    QTest::newRow("relative runtime folder") << "relative" << false;
    QTest::newRow("runtime folder missing") << "missing" << false;
}

void TestSingleInstance::runtimeFolder() {
    QFETCH(QString, runtime);
    QFETCH(bool, usesRuntime);
    const QString runtimePath = m_folder->filePath(QStringLiteral("run"));
    const QString tempPath = m_folder->filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(tempPath));
    if (runtime != QLatin1String("missing"))
        QVERIFY(QDir().mkpath(runtimePath));
    ::chmod(QFile::encodeName(runtimePath).constData(),
            runtime == QLatin1String("open") ? 0755 : 0700);
    if (runtime == QLatin1String("unset"))
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", runtime == QLatin1String("relative")
                                       ? QByteArray("run")
                                       : QFile::encodeName(runtimePath));
    qputenv("TMPDIR", QFile::encodeName(tempPath));

    const QString folder = SingleInstance::defaultFolder();
    qunsetenv("TMPDIR");
    qunsetenv("XDG_RUNTIME_DIR");

    if (usesRuntime) {
        QCOMPARE(folder, runtimePath);
    } else {
        QCOMPARE(QFileInfo(folder).absolutePath(), tempPath);
        const mode_t mode = modeOf(folder);
        QVERIFY(S_ISDIR(mode));
        QCOMPARE(mode & 0777, mode_t(0700));
    }
}

void TestSingleInstance::refusesFallbackOwnedByAnother() {
    const QString tempPath = m_folder->filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(tempPath));
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", QFile::encodeName(tempPath));
    const QString fallback =
        tempPath + QStringLiteral("/kestrel-runtime-") + QString::number(::getuid());

    // Someone else got there first with a pairingLink to a folder of their choice.
    const QString elsewhere = m_folder->filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(elsewhere));
    ::chmod(QFile::encodeName(elsewhere).constData(), 0700);
    QVERIFY(QFile::link(elsewhere, fallback));
    QCOMPARE(SingleInstance::defaultFolder(), QString());
    QVERIFY(QFile::remove(fallback));

    // Another account owns the folder (needs the right to give it away).
    QVERIFY(QDir().mkpath(fallback));
    ::chmod(QFile::encodeName(fallback).constData(), 0700);
    if (::geteuid() == 0) {
        QCOMPARE(::chown(QFile::encodeName(fallback).constData(), 65534, 65534), 0);
        QCOMPARE(SingleInstance::defaultFolder(), QString());
    }
    qunsetenv("TMPDIR");
}

void TestSingleInstance::urlOpenEvents_data() {
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<bool>("taken");
    QTest::newRow("pairing link") << QUrl(pairingLink) << true;
    QTest::newRow("link of any shape") << QUrl(QStringLiteral("kestrel://elsewhere")) << true;
    QTest::newRow("document") << QUrl::fromLocalFile(QStringLiteral("/tmp/a.pdf")) << false;
}

void TestSingleInstance::urlOpenEvents() {
    QFETCH(QUrl, url);
    QFETCH(bool, taken);
    QObject application;
    UrlOpenEvents filter;
    application.installEventFilter(&filter);
    QSignalSpy links(&filter, &UrlOpenEvents::linksReceived);

    QFileOpenEvent event(url);
    event.ignore();
    QCoreApplication::sendEvent(&application, &event);
    QCOMPARE(links.size(), taken ? 1 : 0);
    if (taken)
        QCOMPARE(links.first().first().value<QList<QUrl>>(), QList<QUrl>{url});
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_single_instance.moc"
