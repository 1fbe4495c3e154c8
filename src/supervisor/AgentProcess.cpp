#include "supervisor/AgentProcess.h"

#include "platform/SystemText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <memory>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace kestrel {

namespace {

// exec() either succeeds or fails within milliseconds; the limit only keeps a
// wedged start from blocking the main thread for good.
constexpr int startTimeoutMs = 5000;

bool canAppendTo(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append);
}

// ~QProcess sends SIGKILL to a child that still runs and then blocks until it
// has exited, so a process we let go of must not be destroyed while it runs.
// It is taken away from its parent (whose destruction would destroy it) and
// deletes itself after the child has ended. If the application exits first,
// the object is simply never destroyed and the child ends on its own time.
void releaseWhenFinished(QProcess* process) {
    process->setParent(nullptr);
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart)
                             process->deleteLater();
                     });
}

} // namespace

QString agentExecutablePath(const QString& bundlePath) {
    return QDir(bundlePath)
        .filePath(QStringLiteral("Contents/Resources/PrintService/orvanta-print-agent"));
}

bool isExecutableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

QProcessEnvironment agentEnvironment(QProcessEnvironment appEnvironment, const QString& secret) {
    appEnvironment.insert(QStringLiteral("KESTREL_APP_SECRET"), secret);
    return appEnvironment;
}

AgentExit agentExit(int exitCode, QProcess::ExitStatus exitStatus) {
    // After a crash QProcess reports the number of the terminating signal as
    // the exit code.
    return {exitCode, exitStatus == QProcess::CrashExit ? 2 : 1};
}

std::variant<QProcess*, LaunchError> spawnAgent(const AgentLaunch& launch, QObject* parent) {
    auto process = std::make_unique<QProcess>();
    process->setProgram(launch.program);
    process->setArguments({});
    process->setProcessEnvironment(launch.environment);
    process->setStandardInputFile(QProcess::nullDevice());
    // QProcess opens the redirection files itself and refuses to start when it
    // cannot, so an unwritable log is found out here and the agent keeps the
    // application's own output instead of not running at all. Unread pipes
    // would block the agent once full, hence forwarding rather than the default.
    if (launch.outputFile && canAppendTo(*launch.outputFile)) {
        process->setStandardOutputFile(*launch.outputFile, QIODevice::Append);
        process->setStandardErrorFile(*launch.outputFile, QIODevice::Append);
    } else {
        process->setProcessChannelMode(QProcess::ForwardedChannels);
    }
#ifdef Q_OS_LINUX
    // An application that is killed cannot stop its agent, which would keep
    // the port; the kernel sends SIGTERM instead. The signal follows the
    // thread that forked, which is the main thread for the application's life.
    const pid_t applicationPid = ::getpid();
    process->setChildProcessModifier([applicationPid] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The application may have died before the request took effect.
        if (::getppid() != applicationPid)
            ::_exit(1);
    });
#endif

    process->start();
    if (!process->waitForStarted(startTimeoutMs)) {
        LaunchError error{QString::fromLatin1(launchErrorDomain),
                          static_cast<int>(process->error()),
                          russianSystemMessage(process->errorString())};
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            releaseWhenFinished(process.release());
        }
        return error;
    }
    process->setParent(parent);
    return process.release();
}

void detachAndTerminate(QProcess* process) {
    if (!process)
        return;
    // Nobody hears of this exit: it is neither logged nor followed by a restart.
    process->disconnect();
    if (process->state() != QProcess::NotRunning)
        process->terminate();
    releaseWhenFinished(process);
}

} // namespace kestrel
