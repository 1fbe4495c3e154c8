// Launch to ready: the built application started as a process, ten times,
// until its log says "service_ready". Figures: the elapsed_s of that line
// (seconds since the launch, as the application measures it), its
// helper_elapsed_s (since the agent's start) and the wall time from the exec
// to the line. Baselines measured in the same run: the reference agent
// started alone until it answers its first health request, and a bare Qt
// program (window and tray item) until its event loop runs.

#include "BenchCommon.h"
#include "RunningApplication.h"

#include <QCoreApplication>
#include <QProcess>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace kestrel::bench;

namespace {

constexpr int runs = 10;
// The application waits this long after launch before it starts its agent.
constexpr double firstStartDelay = 0.1;

bool agentAnswers() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(43127);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const char request[] =
            "GET /v1/health HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
        ::send(fd, request, sizeof request - 1, 0);
        char reply[32] = {};
        ok = ::recv(fd, reply, sizeof reply - 1, 0) > 12 &&
             QByteArray(reply).startsWith("HTTP/1.1 200");
    }
    ::close(fd);
    return ok;
}

// The reference agent alone: exec to its first answered health request.
double agentAlone(const QString& agentPath) {
    QTemporaryDir home;
    QProcess agent;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
    environment.insert(QStringLiteral("KESTREL_APP_SECRET"), QString(72, QLatin1Char('S')));
    agent.setProcessEnvironment(environment);
    agent.setStandardOutputFile(QProcess::nullDevice());
    agent.setStandardErrorFile(QProcess::nullDevice());
    const double start = monotonicSeconds();
    agent.start(agentPath, {});
    agent.waitForStarted();
    double answered = -1;
    for (int i = 0; i < 5000 && answered < 0; ++i) {
        if (agentAnswers())
            answered = monotonicSeconds() - start;
        else
            ::usleep(500);
    }
    agent.terminate();
    agent.waitForFinished();
    return answered;
}

// A bare Qt program with a window and a tray item: exec to a running event loop.
double bareQt(const QString& program) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    const double start = monotonicSeconds();
    process.start(program, {QStringLiteral("--ready")});
    if (!process.waitForReadyRead(10000))
        return -1;
    const double ready = monotonicSeconds() - start;
    process.waitForFinished();
    return ready;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QString folder = QCoreApplication::applicationDirPath();
    const QString bundle = QStringLiteral(KESTREL_BUNDLE_DIR);
    const QString executable = bundle + QStringLiteral("/Contents/MacOS/KestrelAgent");
    const QString agent =
        bundle + QStringLiteral("/Contents/Resources/PrintService/orvanta-print-agent");

    std::vector<double> elapsed, helperElapsed, wall, alone, bare;
    int mostFailureLines = 0;
    for (int run = 0; run < runs; ++run) {
        if (!waitForFreeAgentPort())
            return 1;
        alone.push_back(agentAlone(agent));
        bare.push_back(bareQt(folder + QStringLiteral("/minimal_tray")));

        if (!waitForFreeAgentPort()) {
            std::fprintf(stderr, "port 43127 stays taken\n");
            return 1;
        }
        RunningApplication app(executable);
        app.start();
        double seenAt = 0;
        const auto line = app.waitForLine(QStringLiteral("service_ready"), 10000, &seenAt);
        if (!line) {
            std::fprintf(stderr, "run %d: no service_ready within 10 s\n", run + 1);
            return 1;
        }
        elapsed.push_back(fieldOf(*line, QStringLiteral("elapsed_s")));
        helperElapsed.push_back(fieldOf(*line, QStringLiteral("helper_elapsed_s")));
        wall.push_back(seenAt - app.startedAt);
        int failureLines = 0;
        for (const QByteArray& logged : app.log().split('\n'))
            failureLines += logged.contains("health_result") && !logged.contains("failures=0");
        mostFailureLines = std::max(mostFailureLines, failureLines);
        app.stop();
    }

    const double agentReady = median(alone);
    printValue("launch.agent_alone_ready_s", agentReady, "s", "baseline: agent exec to first 200");
    printValue("launch.bare_qt_ready_s", median(bare), "s", "baseline: window+tray exec to loop");
    printFigure("launch.ready_elapsed_s", median(elapsed), "s", "0.1 s delay + agent alone",
                firstStartDelay + agentReady, "<= 0.15 s");
    printFigure("launch.helper_elapsed_s", median(helperElapsed), "s", "agent alone", agentReady,
                "none");
    printFigure("launch.wall_to_ready_s", median(wall), "s", "bare Qt + 0.1 s + agent alone",
                median(bare) + firstStartDelay + agentReady, "<= 0.5 s");
    printValue("launch.failure_lines_max", mostFailureLines, "",
               "health_result lines with failures>0 in one start, most of 10 (target <= 1)");
    printValue("launch.wall_to_ready_max_s", *std::max_element(wall.begin(), wall.end()), "s",
               "slowest of 10");
    return 0;
}
