#include "AgentCore.h"
#include "BundleVersion.h"
#include "CupsPrinters.h"
#include "DataStore.h"
#include "HttpService.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

using namespace kestrel::agent;

namespace {

constexpr int parentPollMs = 250;
// How long open connections may delay the exit.
constexpr auto drainLimit = std::chrono::milliseconds(500);

int stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int signal) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const auto written = ::write(stopPipe[1], &byte, 1);
    errno = savedErrno;
}

bool installSignalHandlers() {
    if (::pipe(stopPipe) != 0)
        return false;
    for (const int fd : stopPipe)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    // A full pipe must never block the handler, and the watcher only looks
    // whether a byte is there.
    for (const int fd : stopPipe)
        ::fcntl(fd, F_SETFL, O_NONBLOCK);

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    }
    // A client that disconnects mid-reply must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (!value)
        return std::nullopt;
    return std::string(value);
}

const char* signalName(int signal) {
    switch (signal) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "other";
    }
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IOLBF, 0);

    const pid_t parentAtStart = ::getppid();
#if defined(__linux__)
    // Fires when the thread that started us ends; the application starts the
    // agent from its main thread, so in practice when the application ends.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    if (!installSignalHandlers()) {
        logLine(stderr, "start_failed reason=signal_handlers");
        return 1;
    }

    const auto executable = currentExecutablePath();
    const std::string version =
        executable ? bundleVersion(infoPlistForExecutable(*executable)) : fallbackVersion;
    const bool macos = platformName() == "macos";
    DataStore store(dataDirectory(environmentValue, homeFromPasswordDatabase(), macos));
    if (!store.deviceIdPersistent())
        logLine(stderr, "device_id_not_stored folder=" + store.directory().string() +
                            " (using an identifier for this run only)");

    const auto secret = environmentValue("KESTREL_APP_SECRET");

    CupsPrinters printers;
    const Agent agent(
        {version, platformName(), machineArchitecture()}, store, [&printers] { return printers(); },
        secret);
    HttpService service(agent);
    std::string bindError;
    if (!service.bind(agentPort, bindError)) {
        logLine(stderr, "listen_failed " + bindError);
        return 1;
    }
    service.start();
    if (!secret || secret->empty())
        logLine(stderr, "app_secret_missing (application requests will be refused)");

    std::string addresses;
    for (const auto& address : service.addresses())
        addresses += (addresses.empty() ? "" : ",") + address;
    logLine(stdout, "started version=" + version + " pid=" + std::to_string(::getpid()) +
                        " listen=" + addresses);

    std::string reason;
    int exitCode = 0;
    pollfd watched{stopPipe[0], POLLIN, 0};
    while (reason.empty()) {
        // A signal may also end the poll early with EINTR; the pipe tells.
        if (::poll(&watched, 1, parentPollMs) < 0 && errno != EINTR) {
            reason = "poll_failed";
            exitCode = 1;
        }
        unsigned char signal = 0;
        if (reason.empty() && ::read(stopPipe[0], &signal, 1) == 1)
            reason = std::string("signal=") + signalName(signal);
        if (reason.empty() && ::getppid() != parentAtStart)
            reason = "parent_gone";
        if (reason.empty() && service.listenerEnded()) {
            reason = "listener_failed";
            exitCode = 1;
        }
    }

    logLine(stdout, "stopping " + reason);
    service.stop();
    // Idle keep-alive connections keep the library's workers for seconds
    // after stop(), and a print-system query past its limit may still run:
    // the process leaves without waiting for either and without running
    // destructors under them. Nothing is left unwritten: every state file is
    // synced when it is written.
    if (service.waitStopped(drainLimit))
        logLine(stdout, "stopped");
    else
        logLine(stdout, "stopped with connections still open");
    std::fflush(nullptr);
    std::_Exit(exitCode);
}
