#include "AgentCore.h"
#include "BundleVersion.h"
#include "CupsPrinters.h"
#include "DataStore.h"
#include "HttpService.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <unistd.h>

#if defined(__linux__)
#include <sys/prctl.h>
#include <sys/syscall.h>
#elif defined(__APPLE__)
#include <sys/event.h>
#endif

using namespace kestrel::agent;
namespace asio = boost::asio;

namespace {

// Only where the system cannot tell us when the parent ends.
constexpr auto parentPollPeriod = std::chrono::milliseconds(1000);

// A descriptor that becomes readable when process `pid` ends, or -1 where the
// system has none: a process descriptor on Linux, a kernel event queue on
// macOS. Waiting on it costs nothing while the parent lives.
int parentExitDescriptor(pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#elif defined(__APPLE__)
    const int queue = ::kqueue();
    if (queue < 0)
        return -1;
    struct kevent change {};
    EV_SET(&change, pid, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
    if (::kevent(queue, &change, 1, nullptr, 0, nullptr) != 0) {
        ::close(queue);
        return -1;
    }
    return queue;
#else
    (void)pid;
    return -1;
#endif
}

// Calls `gone` once the process that started the agent has ended (the
// application started it; without the application nobody reads its answers).
class ParentWatch {
public:
    ParentWatch(asio::io_context& loop, pid_t parent, std::function<void()> gone)
        : m_descriptor(loop), m_timer(loop), m_parent(parent), m_gone(std::move(gone)) {
        const int fd = parentExitDescriptor(parent);
        if (fd >= 0) {
            m_descriptor.assign(fd);
            m_descriptor.async_wait(asio::posix::descriptor_base::wait_read,
                                    [this](boost::system::error_code error) {
                                        if (!error)
                                            m_gone();
                                    });
        } else {
            poll();
        }
        // The parent may have ended before the descriptor was made.
        if (::getppid() != m_parent)
            asio::post(loop, m_gone);
    }

private:
    void poll() {
        m_timer.expires_after(parentPollPeriod);
        m_timer.async_wait([this](boost::system::error_code error) {
            if (error)
                return;
            if (::getppid() != m_parent)
                return m_gone();
            poll();
        });
    }

    asio::posix::stream_descriptor m_descriptor;
    asio::steady_timer m_timer;
    pid_t m_parent;
    std::function<void()> m_gone;
};

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
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
    // A client that disconnects mid-reply must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);

    const pid_t parentAtStart = ::getppid();
#if defined(__linux__)
    // Fires when the thread that started us ends; the application starts the
    // agent from its main thread, so in practice when the application ends.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    // One thread runs every connection, the signals and the parent watch.
    asio::io_context loop(1);
    asio::signal_set signals(loop, SIGTERM, SIGINT, SIGHUP);

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
    HttpService service(loop, agent);
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

    const auto stopFor = [&](const std::string& reason) {
        logLine(stdout, "stopping " + reason);
        service.stop();
        logLine(stdout, "stopped");
        // A print-system query past its limit may still run on a worker: the
        // process leaves without waiting for it and without running
        // destructors under it. Nothing is left unwritten: every state file
        // is synced when it is written.
        std::fflush(nullptr);
        std::_Exit(0);
    };
    signals.async_wait([&](boost::system::error_code error, int signal) {
        if (!error)
            stopFor(std::string("signal=") + signalName(signal));
    });
    const ParentWatch parent(loop, parentAtStart, [&] { stopFor("parent_gone"); });
    loop.run();
    logLine(stderr, "stopping loop_ended");
    std::fflush(nullptr);
    std::_Exit(1);
}
