#pragma once

#include <QDateTime>
#include <QString>

namespace kestrel {

// Event text with control characters written as escapes ("\n" becomes the two
// characters \ and n), so a value from outside the application, such as an
// agent's version, cannot start a forged line of its own.
QString escapeControlCharacters(const QString& event);

// One complete log line, line feed included:
// "2026-01-02T03:04:05.678Z APP launch=<id> elapsed_s=1.234 <event>\n".
QString formatLogLine(const QDateTime& now, const QString& launchId, double elapsedSeconds,
                      const QString& event);

// "%.3f" of a duration in seconds, the form every duration in the log takes.
QString formatSeconds(double seconds);

} // namespace kestrel
