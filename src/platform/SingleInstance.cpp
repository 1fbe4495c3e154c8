#include "SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>
#include <QtEndian>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace kestrel {

namespace {

constexpr QByteArrayView magic = "KESTREL1";
constexpr qsizetype headerSize = 8 + 4;
constexpr quint32 maximumBodySize = 64 * 1024;
constexpr char accepted = 'k';
constexpr int connectTimeoutMs = 1000;
constexpr int answerTimeoutMs = 5000;
constexpr int lockTimeoutMs = 5000;

// Owned by this user, a real folder (not a link to one) and closed to
// everyone else.
bool isPrivateFolder(const QString& path) {
    struct stat info {};
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

// Inside the user's own cache folder, where no other user can create the
// folder first; one of ours that others may read is closed again.
QString fallbackFolder() {
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!QDir::isAbsolutePath(cache))
        cache = QDir::homePath() + QStringLiteral("/.cache");
    const QString path = cache + QStringLiteral("/kestrel-agent");
    const QByteArray native = QFile::encodeName(path);
    if (!QDir().mkpath(cache) || (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST))
        return {};
    struct stat info {};
    if (::lstat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == ::getuid() && (info.st_mode & 077) != 0)
        ::chmod(native.constData(), 0700);
    return isPrivateFolder(path) ? path : QString();
}

std::optional<uid_t> peerUid(qintptr descriptor) {
#if defined(Q_OS_LINUX)
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials,
                     &length) != 0)
        return std::nullopt;
    return credentials.uid;
#else
    uid_t uid = 0;
    gid_t gid = 0;
    if (::getpeereid(static_cast<int>(descriptor), &uid, &gid) != 0)
        return std::nullopt;
    return uid;
#endif
}

// The folder's permissions already keep other users out; the peer's identity
// is checked as well in case they ever do not.
bool isSameUser(const QLocalSocket& socket) {
    return peerUid(socket.socketDescriptor()) == ::getuid();
}

QByteArray encodeMessage(const QStringList& arguments) {
    QByteArray body;
    for (const QString& argument : arguments)
        body += argument.toUtf8() + '\0';
    QByteArray message(magic.data(), magic.size());
    message += QByteArray(4, '\0');
    qToBigEndian(static_cast<quint32>(body.size()), message.data() + magic.size());
    return message + body;
}

QStringList decodeArguments(const QByteArray& body) {
    QStringList arguments;
    const QList<QByteArray> parts = body.split('\0');
    // Every argument ends with a NUL, so the last part is always empty.
    for (qsizetype i = 0; i + 1 < parts.size(); ++i)
        arguments.append(QString::fromUtf8(parts.at(i)));
    return arguments;
}

} // namespace

SingleInstance::SingleInstance(QObject* parent) : SingleInstance(defaultFolder(), parent) {}

SingleInstance::SingleInstance(const QString& folder, QObject* parent)
    : QObject(parent), m_folder(folder) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && isPrivateFolder(runtime))
        return runtime;
    return fallbackFolder();
}

QList<QUrl> SingleInstance::linksFromArguments(const QStringList& arguments) {
    QList<QUrl> links;
    for (const QString& argument : arguments)
        links.append(QUrl(argument, QUrl::StrictMode));
    return links;
}

QString SingleInstance::socketPath() const {
    return m_folder.isEmpty() ? QString() : m_folder + QStringLiteral("/kestrel-agent.socket");
}

SingleInstance::Handover SingleInstance::forwardToRunning(const QStringList& arguments) {
    if (m_folder.isEmpty())
        return Handover::NoInstance;
    m_startLock = std::make_unique<QLockFile>(m_folder + QStringLiteral("/kestrel-agent.lock"));
    if (!m_startLock->tryLock(lockTimeoutMs))
        m_startLock.reset();

    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(connectTimeoutMs))
        return Handover::NoInstance;
    // From here on an instance runs: whatever goes wrong, this start ends.
    m_startLock.reset();
    const QByteArray message = encodeMessage(arguments);
    if (!isSameUser(socket) || message.size() > headerSize + maximumBodySize)
        return Handover::Failed;
    socket.write(message);
    if (!socket.waitForBytesWritten(answerTimeoutMs))
        return Handover::Failed;
    if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(answerTimeoutMs))
        return Handover::Failed;
    return socket.read(1) == QByteArray(1, accepted) ? Handover::Delivered : Handover::Failed;
}

void SingleInstance::eraseArguments(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        std::memset(argv[i], 0, std::strlen(argv[i]));
}

bool SingleInstance::listen() {
    if (m_folder.isEmpty() || m_server)
        return m_server != nullptr;
    // With access options set, QLocalServer::listen() moves its socket over
    // any file at the path, even one a running instance still listens on, so
    // liveness is checked here first.
    QLocalSocket probe;
    probe.connectToServer(socketPath());
    const bool taken = probe.waitForConnected(connectTimeoutMs);
    probe.abort();
    if (taken) {
        m_startLock.reset();
        return false;
    }
    QLocalServer::removeServer(socketPath());
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    const bool listening = server->listen(socketPath());
    m_startLock.reset();
    if (!listening) {
        delete server;
        return false;
    }
    m_server = server;
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    return true;
}

void SingleInstance::acceptConnections() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        if (!isSameUser(*socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // A client that connects and never finishes its message is dropped.
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, &QLocalSocket::abort);
        deadline->start(answerTimeoutMs);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readMessage(socket); });
    }
}

void SingleInstance::readMessage(QLocalSocket* socket) {
    if (socket->bytesAvailable() < headerSize)
        return;
    const QByteArray header = socket->peek(headerSize);
    const quint32 bodySize = qFromBigEndian<quint32>(header.constData() + magic.size());
    if (!header.startsWith(magic) || bodySize > maximumBodySize) {
        socket->abort();
        return;
    }
    if (socket->bytesAvailable() < headerSize + bodySize)
        return;
    socket->skip(headerSize);
    const QStringList arguments = decodeArguments(socket->read(bodySize));
    socket->write(QByteArray(1, accepted));
    socket->flush();
    socket->disconnectFromServer();

    if (arguments.isEmpty())
        emit showRequested();
    else
        emit linksReceived(linksFromArguments(arguments));
}

} // namespace kestrel
