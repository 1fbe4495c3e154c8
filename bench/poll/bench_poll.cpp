// 10,000 health polls of the real controller against the reference agent,
// back to back: the time of each exchange as the controller measures it
// (request_s), the CPU time per poll, and memory and descriptors before and
// after, at rest (a first thousand polls, not counted, warm both processes
// up).
// Baseline measured in the same run: the same requests from a plain
// blocking socket with a kept-alive connection, the floor of the agent's own
// answer time.

#include "AgentSetup.h"
#include "BenchCommon.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

using namespace kestrel;
using namespace kestrel::bench;

namespace {

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Figures {
    std::vector<double> seconds;
    double cpuPerRequest = 0;
    double agentCpuPerRequest = 0;
};

int connectToAgent() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(43127);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// GET /v1/health on a kept-alive connection, opened again whenever the agent
// closes it (as the application's session does), each reply read whole by
// its Content-Length.
Figures plainRequests(int count, qint64 agentPid) {
    Figures figures;
    const QByteArray request = "GET /v1/health HTTP/1.1\r\nHost: localhost:43127\r\n\r\n";
    const double cpuBefore = processCpuSeconds();
    const double agentBefore = cpuSeconds(agentPid);
    int fd = -1;
    char chunk[16384];
    for (int i = 0; i < count; ++i) {
        const double start = monotonicSeconds();
        if (fd < 0 && (fd = connectToAgent()) < 0)
            return figures;
        if (::send(fd, request.constData(), size_t(request.size()), 0) != request.size())
            return figures;
        QByteArray reply;
        qsizetype needed = -1;
        bool closing = false;
        while (needed < 0 || reply.size() < needed) {
            const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                return figures;
            reply.append(chunk, got);
            const qsizetype end = reply.indexOf("\r\n\r\n");
            if (end >= 0 && needed < 0) {
                const QByteArray head = reply.left(end).toLower();
                const qsizetype at = head.indexOf("content-length:");
                needed = end + 4 + head.mid(at + 15).split('\r').value(0).trimmed().toLongLong();
                closing = head.contains("connection: close");
            }
        }
        if (closing) {
            ::close(fd);
            fd = -1;
        }
        figures.seconds.push_back(monotonicSeconds() - start);
    }
    if (fd >= 0)
        ::close(fd);
    figures.cpuPerRequest = (processCpuSeconds() - cpuBefore) / count;
    figures.agentCpuPerRequest = (cpuSeconds(agentPid) - agentBefore) / count;
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;

    if (!waitForFreeAgentPort()) {
        std::fprintf(stderr, "port 43127 stays taken\n");
        return 2;
    }
    test::AppHarness harness;
    ObservedSessions* const observed = prepareForPolls(harness);
    if (!observed)
        return 2;

    Figures polls;
    double sentAt = 0;
    int handled = 0;
    int target = 0; // polls to drive in the current phase
    bool measuring = false;
    double cpuBefore = 0, agentCpuBefore = 0;
    observed->onCreate = [&](ObservedSession* session) {
        QObject::connect(session, &ObservedSession::pollSent, [&] { sentAt = monotonicSeconds(); });
        QObject::connect(session, &ObservedSession::pollAnswered, [&] {
            if (measuring)
                polls.seconds.push_back(monotonicSeconds() - sentAt);
        });
        QObject::connect(session, &ObservedSession::pollHandled, [&] {
            if (target == 0)
                return;
            if (++handled == target)
                application.quit();
            else
                harness.delegate->refreshStatus();
        });
    };
    AppDelegate& delegate = harness.launch();
    // Until the agent is ready, and then a second for its first printer query.
    QTimer ready;
    ready.setInterval(10);
    QObject::connect(&ready, &QTimer::timeout, [&] {
        if (delegate.state().isAgentReady && !delegate.state().refreshInFlight) {
            ready.stop();
            QTimer::singleShot(1000, &application, [&] { application.quit(); });
        }
    });
    ready.start();
    application.exec();
    if (!delegate.state().isAgentReady || !delegate.helperProcess()) {
        std::fprintf(stderr, "the agent did not get ready\n");
        return 3;
    }
    const qint64 self = QCoreApplication::applicationPid();
    const qint64 agent = delegate.helperProcess()->processId();
    // A first thousand polls, not counted: both processes reach their working
    // size (connection, worker threads of the agent and their heaps).
    target = 1000;
    delegate.refreshStatus();
    application.exec();

    // Memory and descriptors are compared at rest, after the agent has closed
    // the idle kept-alive connection (5 s), so an open connection is not
    // taken for growth.
    const auto rest = [&application] {
        QTimer::singleShot(6000, &application, &QCoreApplication::quit);
        application.exec();
    };
    rest();
    handled = 0;
    target = count;
    const double rssBefore = residentKiB(self);
    const double agentRssBefore = residentKiB(agent);
    const int fdsBefore = openDescriptors(self);
    const int agentFdsBefore = openDescriptors(agent);
    cpuBefore = processCpuSeconds();
    agentCpuBefore = cpuSeconds(agent);
    measuring = true;
    delegate.refreshStatus();
    application.exec();
    polls.cpuPerRequest = (processCpuSeconds() - cpuBefore) / count;
    polls.agentCpuPerRequest = (cpuSeconds(agent) - agentCpuBefore) / count;
    rest();
    const double rssAfter = residentKiB(self);
    const double agentRssAfter = residentKiB(agent);
    const int fdsAfter = openDescriptors(self);
    const int agentFdsAfter = openDescriptors(agent);
    const bool stillReady = delegate.state().isAgentReady;

    const Figures plain = plainRequests(count, agent);
    if (plain.seconds.size() != size_t(count) || polls.seconds.size() != size_t(count)) {
        std::fprintf(stderr, "%zu plain requests and %zu polls of %d\n", plain.seconds.size(),
                     polls.seconds.size(), count);
        return 4;
    }

    printValue("poll.count", count, "polls", stillReady ? "all ready" : "NOT READY AT THE END");
    printFigure("poll.request_p50_ms", quantile(polls.seconds, 0.5) * 1e3, "ms", "plain socket p50",
                quantile(plain.seconds, 0.5) * 1e3, "none");
    printFigure("poll.request_p99_ms", quantile(polls.seconds, 0.99) * 1e3, "ms",
                "plain socket p99", quantile(plain.seconds, 0.99) * 1e3, "p99 <= 5 ms");
    printFigure("poll.app_cpu_per_poll_us", polls.cpuPerRequest * 1e6, "us", "plain socket client",
                plain.cpuPerRequest * 1e6, "none");
    printFigure("poll.agent_cpu_per_poll_us", polls.agentCpuPerRequest * 1e6, "us",
                "agent per plain request", plain.agentCpuPerRequest * 1e6, "none");
    printFigure("poll.app_rss_after_kib", rssAfter, "KiB", "before", rssBefore,
                "growth <= 1024 KiB");
    printFigure("poll.agent_rss_after_kib", agentRssAfter, "KiB", "before", agentRssBefore,
                "growth <= 1024 KiB");
    printFigure("poll.app_fds_after", fdsAfter, "fds", "before", fdsBefore, "no growth");
    printFigure("poll.agent_fds_after", agentFdsAfter, "fds", "before", agentFdsBefore,
                "no growth");
    return 0;
}
