#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <optional>
#include <variant>

class QObject;

namespace kestrel {

// The agent executable inside the application bundle.
QString agentExecutablePath(const QString& bundlePath);

// True for a regular file the current user may execute; false when it is
// missing, a folder or lacks the execute permission.
bool isExecutableFile(const QString& path);

// The agent's whole environment: the application's own with the per-launch
// secret in KESTREL_APP_SECRET, replacing any inherited value.
QProcessEnvironment agentEnvironment(QProcessEnvironment appEnvironment, const QString& secret);

// How the agent ended, as written to the log: the exit code with reason 1
// for a normal exit, the signal number with reason 2 when a signal killed it.
struct AgentExit {
    int status = 0;
    int reason = 0;
    friend bool operator==(const AgentExit&, const AgentExit&) = default;
};
AgentExit agentExit(int exitCode, QProcess::ExitStatus exitStatus);

// Launch failures carry this domain; the code is the QProcess::ProcessError value.
inline constexpr char launchErrorDomain[] = "QProcess";

struct LaunchError {
    QString domain;
    int code = 0;
    QString description;
};

struct AgentLaunch {
    QString program;
    QProcessEnvironment environment;
    // Both output streams are appended to this file; when it is absent or
    // cannot be opened for appending, the agent shares the application's own.
    std::optional<QString> outputFile;
};

// Starts the agent with no arguments in the application's working folder and
// returns once it runs (or failed to). The process is a child of `parent`;
// connect to its finished() signal for the exit. On Linux the agent receives
// SIGTERM when the application dies without shutting down.
std::variant<QProcess*, LaunchError> spawnAgent(const AgentLaunch& launch, QObject* parent);

// Stops supervising `process`: disconnects every receiver of its signals,
// sends SIGTERM if it still runs, and returns without waiting. The object
// then belongs to nobody and deletes itself once the agent has exited.
void detachAndTerminate(QProcess* process);

} // namespace kestrel
