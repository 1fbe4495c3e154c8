// Hostile local traffic against the reference agent, as any local process or
// web page could send it without the secret. Loopback only, bounded in count
// and time.
//
// 1. Memory: four 200 MiB chunked bodies, a 100 MiB request line and 1,000
//    headers of 8 KiB, sent at once on six connections: the agent's peak
//    resident size against its idle size, and the status each got.
// 2. Log: 20,000 requests with a foreign Host: the bytes the agent wrote,
//    against one line per request.
// 3. Slow clients: the real controller polls health every 200 ms, first at
//    rest, then while 300 connections trickle a header byte a second (and
//    open again when closed) for 60 s (or the seconds given): failed polls
//    and the p99 of the exchange, against the p99 at rest.

#include "AgentSetup.h"
#include "BenchCommon.h"

#include <QApplication>
#include <QProcess>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>

using namespace kestrel;
using namespace kestrel::bench;

namespace {

constexpr std::uint64_t mib = 1024 * 1024;
constexpr double clientLimitSeconds = 30;

int connectNonBlocking() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(43127);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One hostile request: a head, then `fillBytes` of filler, chunk-encoded or raw.
struct Sender {
    std::string head;
    std::uint64_t fillBytes = 0;
    bool chunked = false;

    int fd = -1;
    std::string pending;
    std::uint64_t filled = 0;
    bool headSent = false;
    bool done = false;
    std::string reply;

    void refill() {
        if (!headSent) {
            pending = head;
            headSent = true;
            return;
        }
        if (filled >= fillBytes)
            return;
        const std::uint64_t piece = std::min<std::uint64_t>(64 * 1024, fillBytes - filled);
        filled += piece;
        if (chunked) {
            char size[32];
            std::snprintf(size, sizeof size, "%llx\r\n", static_cast<unsigned long long>(piece));
            pending = size + std::string(piece, '{') + "\r\n";
        } else {
            pending.assign(piece, 'a');
        }
    }
};

int statusOf(const std::string& reply) {
    return reply.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(reply.c_str() + 9) : 0;
}

// Sends every request at once until the agent closes each connection or
// everything is sent; samples the agent's resident size meanwhile.
void sendAtOnce(std::vector<Sender>& senders, qint64 agentPid, double* maxRss) {
    for (auto& sender : senders)
        sender.fd = connectNonBlocking();
    const double deadline = monotonicSeconds() + clientLimitSeconds;
    char buffer[4096];
    while (monotonicSeconds() < deadline) {
        std::vector<pollfd> watched;
        for (auto& sender : senders) {
            if (sender.done)
                continue;
            if (sender.pending.empty())
                sender.refill();
            watched.push_back(
                {sender.fd, short(POLLIN | (sender.pending.empty() ? 0 : POLLOUT)), 0});
        }
        if (watched.empty())
            break;
        ::poll(watched.data(), watched.size(), 20);
        *maxRss = std::max(*maxRss, residentKiB(agentPid));
        for (auto& sender : senders) {
            if (sender.done)
                continue;
            const ssize_t got = ::recv(sender.fd, buffer, sizeof buffer, 0);
            if (got > 0 && sender.reply.size() < 64)
                sender.reply.append(buffer, std::size_t(got));
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                sender.done = true;
                continue;
            }
            if (sender.pending.empty())
                continue;
            const ssize_t sent =
                ::send(sender.fd, sender.pending.data(), sender.pending.size(), MSG_NOSIGNAL);
            if (sent > 0)
                sender.pending.erase(0, std::size_t(sent));
            else if (errno != EAGAIN)
                sender.done = true;
        }
    }
    for (auto& sender : senders)
        ::close(sender.fd);
}

std::vector<Sender> memoryShapes() {
    std::vector<Sender> senders;
    for (int i = 0; i < 4; ++i)
        senders.push_back({"POST /nonexistent HTTP/1.1\r\nHost: localhost\r\n"
                           "Transfer-Encoding: chunked\r\n\r\n",
                           200 * mib, true});
    senders.push_back({"GET /", 100 * mib, false});
    std::string headers = "GET /v1/health HTTP/1.1\r\nHost: localhost\r\n";
    for (int i = 0; i < 1000; ++i)
        headers += "X-" + std::to_string(i) + ": " + std::string(8192, 'v') + "\r\n";
    senders.push_back({headers + "\r\n", 0, false});
    return senders;
}

// 20,000 requests with a foreign Host on one kept-alive connection, each
// reply read before the next request.
int foreignHostRequests(int count) {
    const int fd = connectNonBlocking();
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    pollfd connecting{fd, POLLOUT, 0};
    ::poll(&connecting, 1, 1000);
    const std::string request = "GET /v1/health HTTP/1.1\r\nHost: attacker.example\r\n\r\n";
    char buffer[4096];
    int refused = 0;
    for (int i = 0; i < count; ++i) {
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) <= 0)
            break;
        std::string reply;
        while (reply.find("}") == std::string::npos) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            reply.append(buffer, std::size_t(got));
        }
        refused += statusOf(reply) == 403;
    }
    ::close(fd);
    return refused;
}

// 300 connections that each send a header byte a second and open again when
// the agent closes them, until `stop`.
void slowClients(std::atomic<bool>& stop, std::atomic<int>& reopened) {
    constexpr int count = 300;
    const std::string start = "GET /v1/health HTTP/1.1\r\nHost: localhost\r\nX-Slow: ";
    std::vector<int> fds(count, -1);
    std::vector<double> nextByte(count, 0);
    while (!stop) {
        const double now = monotonicSeconds();
        for (int i = 0; i < count; ++i) {
            if (fds[i] < 0) {
                fds[i] = connectNonBlocking();
                ::send(fds[i], start.data(), start.size(), MSG_NOSIGNAL);
                nextByte[i] = now + 1.0;
                ++reopened;
                continue;
            }
            char drop[256];
            const ssize_t got = ::recv(fds[i], drop, sizeof drop, 0);
            const bool closed = got == 0 || (got < 0 && errno != EAGAIN);
            if (!closed && now >= nextByte[i]) {
                ::send(fds[i], "a", 1, MSG_NOSIGNAL);
                nextByte[i] = now + 1.0;
            }
            if (closed) {
                ::close(fds[i]);
                fds[i] = -1;
            }
        }
        ::usleep(50000);
    }
    for (const int fd : fds)
        if (fd >= 0)
            ::close(fd);
}

void agentAlone(const QString& agentPath) {
    QTemporaryDir home;
    const QString logPath = home.filePath(QStringLiteral("agent.log"));
    QProcess agent;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
    environment.insert(QStringLiteral("KESTREL_APP_SECRET"), QString(72, QLatin1Char('S')));
    environment.insert(QStringLiteral("CUPS_SERVER"), QStringLiteral("127.0.0.1:9"));
    agent.setProcessEnvironment(environment);
    agent.setStandardOutputFile(logPath);
    agent.setStandardErrorFile(logPath, QIODevice::Append);
    agent.start(agentPath, {});
    agent.waitForStarted();
    while (QFileInfo(logPath).size() == 0)
        ::usleep(5000);
    const qint64 pid = agent.processId();
    if (foreignHostRequests(100) != 100) // warm-up
        std::fprintf(stderr, "the agent did not refuse the warm-up requests\n");
    ::usleep(200000);

    const double idleRss = residentKiB(pid);
    std::vector<Sender> senders = memoryShapes();
    double maxRss = idleRss;
    const double start = monotonicSeconds();
    sendAtOnce(senders, pid, &maxRss);
    const double took = monotonicSeconds() - start;
    const double peak = std::max(maxRss, peakResidentKiB(pid));
    QString statuses;
    bool all4xx = true;
    for (const auto& sender : senders) {
        const int status = statusOf(sender.reply);
        all4xx = all4xx && status >= 400 && status < 500;
        statuses += QString::number(status) + QLatin1Char(' ');
    }
    printValue(
        "hostile.memory_seconds", took, "s",
        qPrintable(QStringLiteral("statuses %1%2").arg(statuses, all4xx ? "" : "NOT ALL 4xx")));
    printFigure("hostile.agent_peak_rss_kib", peak, "KiB", "idle", idleRss, "growth <= 4096 KiB");

    const qint64 logBefore = QFileInfo(logPath).size();
    constexpr int requests = 20000;
    const int refused = foreignHostRequests(requests);
    agent.terminate(); // the pending summary is written on the way out
    agent.waitForFinished();
    QFile log(logPath);
    log.open(QIODevice::ReadOnly);
    log.seek(logBefore);
    qint64 written = 0;
    for (const QByteArray& line : log.readAll().split('\n')) {
        if (!line.contains(" stopp") && !line.isEmpty())
            written += line.size() + 1;
    }
    // What one line per request would have written.
    const double perRequest = double(requests) * 72;
    printValue("hostile.foreign_host_refused", refused, "", "of 20000");
    printFigure("hostile.log_bytes", double(written), "B", "one line per request", perRequest,
                "<= 4096 B");
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::signal(SIGPIPE, SIG_IGN);
    QApplication application(argc, argv);
    const double attackSeconds = argc > 1 ? QByteArray(argv[1]).toDouble() : 60.0;
    const QString agentPath = QStringLiteral(KESTREL_AGENT_EXECUTABLE);

    if (!waitForFreeAgentPort())
        return 2;
    agentAlone(agentPath);

    if (!waitForFreeAgentPort())
        return 2;
    test::AppHarness harness;
    ObservedSessions* const observed = prepareForPolls(harness);
    if (!observed)
        return 2;

    std::vector<double>* current = nullptr;
    std::vector<double> atRest, underAttack;
    int failed = 0;
    double sentAt = 0;
    observed->onCreate = [&](ObservedSession* session) {
        QObject::connect(session, &ObservedSession::pollSent, [&] { sentAt = monotonicSeconds(); });
        QObject::connect(session, &ObservedSession::pollAnswered, [&] {
            if (current)
                current->push_back(monotonicSeconds() - sentAt);
        });
        QObject::connect(session, &ObservedSession::pollHandled, [&] {
            if (current && !harness.delegate->state().isAgentReady)
                ++failed;
        });
    };
    AppDelegate& delegate = harness.launch();
    QTimer polls;
    polls.setInterval(200);
    QObject::connect(&polls, &QTimer::timeout, [&] {
        if (delegate.state().isAgentReady || current)
            delegate.refreshStatus();
    });
    polls.start();
    const auto runFor = [&application](double seconds) {
        QTimer::singleShot(int(seconds * 1000), &application, &QCoreApplication::quit);
        application.exec();
    };
    runFor(2.0); // ready, printers asked once
    if (!delegate.state().isAgentReady) {
        std::fprintf(stderr, "the agent did not get ready\n");
        return 3;
    }
    current = &atRest;
    runFor(10.0);
    const int failedAtRest = failed;

    failed = 0;
    std::atomic<bool> stop = false;
    std::atomic<int> reopened = 0;
    std::thread attack(slowClients, std::ref(stop), std::ref(reopened));
    current = &underAttack;
    runFor(attackSeconds);
    stop = true;
    attack.join();
    current = nullptr;

    printValue("hostile.slow_connections_opened", reopened, "",
               "300 held, each opened again when closed");
    printValue("hostile.polls_at_rest", double(atRest.size()), "",
               qPrintable(QStringLiteral("%1 failed").arg(failedAtRest)));
    printValue("hostile.polls_under_attack", double(underAttack.size()), "", "every 200 ms");
    printFigure("hostile.polls_failed", failed, "", "at rest", failedAtRest, "0");
    printFigure("hostile.poll_p99_ms", quantile(underAttack, 0.99) * 1e3, "ms", "p99 at rest",
                quantile(atRest, 0.99) * 1e3, "<= 50 ms");
    printFigure("hostile.poll_p50_ms", quantile(underAttack, 0.5) * 1e3, "ms", "p50 at rest",
                quantile(atRest, 0.5) * 1e3, "none");
    return 0;
}
