#pragma once

#include <QString>

namespace kestrel {

// The plain-text diagnostic log shared by the application and its agent.
// Every line opens, appends and closes the file by itself: nothing is buffered,
// so a line written before a crash is on disk, and the agent's own append
// handle never overwrites the application's lines.
class DiagnosticLog {
public:
    DiagnosticLog(QString path, QString launchId, double launchUptime);

    const QString& path() const { return m_path; }

    // Creates the folder and an empty file when missing; failures are silent.
    void ensureLogFile() const;
    // Appends one event line; a file that cannot be opened drops the event.
    void write(const QString& event) const;

private:
    const QString m_path;
    const QString m_launchId;
    const double m_launchUptime;
};

// The log's place for the current user: ~/Library/Logs/OrvantaPrint.log on
// macOS, ${XDG_STATE_HOME:-~/.local/state}/OrvantaPrint.log elsewhere.
QString defaultLogFilePath();

} // namespace kestrel
