// Idle footprint: the built application with its agent left alone for five
// minutes (or the seconds given), beside a bare program of the same kind
// (window, tray item, a request every 3 seconds to a port where nothing
// listens) over the same time.
// Figures: resident memory and CPU share of one core.

#include "BenchCommon.h"
#include "RunningApplication.h"

#include <QCoreApplication>
#include <QProcess>

using namespace kestrel::bench;

namespace {

// Runs the event loop for `seconds`.
void idleFor(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const double seconds = argc > 1 ? QByteArray(argv[1]).toDouble() : 300.0;
    const QString bundle = QStringLiteral(KESTREL_BUNDLE_DIR);

    if (!waitForFreeAgentPort()) {
        std::fprintf(stderr, "port 43127 stays taken\n");
        return 1;
    }
    RunningApplication app(bundle + QStringLiteral("/Contents/MacOS/KestrelAgent"));
    app.start();
    if (!app.waitForLine(QStringLiteral("service_ready"), 10000, nullptr)) {
        std::fprintf(stderr, "the application did not get ready\n");
        return 1;
    }
    QProcess bare;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    bare.setProcessEnvironment(environment);
    // The bare program asks a port where nothing listens: asking the agent
    // too would add its requests to the agent's wake-ups and CPU.
    bare.start(QCoreApplication::applicationDirPath() + QStringLiteral("/minimal_tray"),
               {QStringLiteral("--url"), QStringLiteral("http://127.0.0.1:9/v1/health")});
    bare.waitForStarted();

    // Start-up work is not idling.
    idleFor(5.0);
    const qint64 appPid = app.pid(), agentPid = app.agentPid(), barePid = bare.processId();
    const double appCpu = cpuSeconds(appPid), agentCpu = cpuSeconds(agentPid),
                 bareCpu = cpuSeconds(barePid);
    const double agentSwitches = voluntarySwitches(agentPid),
                 bareSwitches = voluntarySwitches(barePid);
    const double start = monotonicSeconds();
    idleFor(seconds);
    const double duration = monotonicSeconds() - start;

    const double appShare = (cpuSeconds(appPid) - appCpu) / duration * 100;
    const double agentShare = (cpuSeconds(agentPid) - agentCpu) / duration * 100;
    const double bareShare = (cpuSeconds(barePid) - bareCpu) / duration * 100;
    const double agentWakeups = (voluntarySwitches(agentPid) - agentSwitches) / duration;
    const double bareWakeups = (voluntarySwitches(barePid) - bareSwitches) / duration;
    const double appRss = residentKiB(appPid) / 1024, agentRss = residentKiB(agentPid) / 1024,
                 bareRss = residentKiB(barePid) / 1024;

    printValue("idle.seconds", duration, "s", "measured after 5 s of settling");
    printFigure("idle.app_rss_mib", appRss, "MiB", "bare Qt program", bareRss, "<= 1.15 x");
    printFigure("idle.app_and_agent_rss_mib", appRss + agentRss, "MiB", "bare Qt program", bareRss,
                "none");
    printFigure("idle.app_cpu_percent", appShare, "%", "bare Qt program", bareShare,
                "<= 0.2 % of one core");
    printFigure("idle.app_and_agent_cpu_percent", appShare + agentShare, "%", "bare Qt program",
                bareShare, "<= 0.10 %");
    printFigure("idle.app_and_agent_cpu_percent", appShare + agentShare, "%", "application alone",
                appShare, "<= 2.5 x");
    printFigure("idle.agent_wakeups_per_s", agentWakeups, "/s", "bare Qt program", bareWakeups,
                "<= 1 /s");
    const bool stillReady = !app.log().contains("helper_exit");
    printValue("idle.agent_restarts", stillReady ? 0 : 1, "",
               stillReady ? "none" : "THE AGENT EXITED");

    bare.terminate();
    bare.waitForFinished();
    app.stop();
    return 0;
}
