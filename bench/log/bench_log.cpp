// The cost of one diagnostic log line: DiagnosticLog::write opens the file,
// appends the formatted line and closes it again, so that no line is ever
// buffered. Baselines measured in the same run: the same open-append-close
// with a fixed line and no formatting, and a plain write to a file kept open.

#include "BenchCommon.h"
#include "log/DiagnosticLog.h"
#include "log/Uptime.h"

#include <QTemporaryDir>
#include <fcntl.h>

using namespace kestrel;
using namespace kestrel::bench;

namespace {

constexpr int lines = 20000;

double perLine(double start) {
    return (monotonicSeconds() - start) / lines * 1e6;
}

} // namespace

int main() {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("OrvantaPrint.log"));
    const QByteArray nativePath = QFile::encodeName(path);
    DiagnosticLog log(path, QStringLiteral("0F3C2A9E-1B7D-4C55-9A3E-6D2B8C1F4E70"), systemUptime());
    const QString event = QStringLiteral(
        "health_result http=200 error=none:0 valid=true version=1.0.0 request_s=0.002 failures=0");
    const QByteArray line = "2026-12-06T15:33:56.123Z APP launch=0F3C2A9E-1B7D-4C55-9A3E-"
                            "6D2B8C1F4E70 elapsed_s=12.345 " +
                            event.toUtf8() + "\n";

    // Warm the file system caches and the code paths once.
    for (int i = 0; i < 1000; ++i)
        log.write(event);

    double start = monotonicSeconds();
    for (int i = 0; i < lines; ++i)
        log.write(event);
    const double logged = perLine(start);

    start = monotonicSeconds();
    for (int i = 0; i < lines; ++i) {
        const int fd =
            ::open(nativePath.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        [[maybe_unused]] const ssize_t written = ::write(fd, line.constData(), line.size());
        ::close(fd);
    }
    const double openAppendClose = perLine(start);

    const int fd = ::open(nativePath.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    start = monotonicSeconds();
    for (int i = 0; i < lines; ++i)
        [[maybe_unused]] const ssize_t written = ::write(fd, line.constData(), line.size());
    const double keptOpen = perLine(start);
    ::close(fd);

    printFigure("log.line_us", logged, "us", "open+write+close", openAppendClose,
                "none; a line per event");
    printFigure("log.line_vs_open_file_us", logged, "us", "write to an open file", keptOpen,
                "none; informational");
    return 0;
}
