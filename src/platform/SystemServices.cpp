#include "SystemServices.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel {

QNetworkAccessManager* DefaultNetworkFactory::create(QObject* parent) {
    return new QNetworkAccessManager(parent);
}

QString defaultDownloadsFolder() {
    const QString location = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (!location.isEmpty())
        return location;
    return QDir::homePath() + QStringLiteral("/Downloads");
}

namespace {

// A signal handler may only do async-signal-safe work, so it writes the
// signal number into a socket that the event loop watches. The descriptors are
// process-wide by nature: there is one signal disposition per process.
int signalSockets[2] = {-1, -1};

extern "C" void forwardSignal(int signalNumber) {
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalSockets[0], &byte, 1);
}

void installHandler(int signalNumber) {
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signalNumber, &action, nullptr);
}

} // namespace

TerminationSignalWatcher::TerminationSignalWatcher(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TerminationSignalWatcher::readSignal);
    installHandler(SIGTERM);
    installHandler(SIGINT);
}

TerminationSignalWatcher::~TerminationSignalWatcher() {
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
}

void TerminationSignalWatcher::readSignal() {
    unsigned char byte = 0;
    if (::read(signalSockets[1], &byte, 1) == 1)
        emit terminationRequested(byte);
}

#ifndef Q_OS_MACOS
void becomeAccessoryApplication() {}
#endif

} // namespace kestrel
