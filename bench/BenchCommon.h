#pragma once

// What every benchmark prints: one line per figure, the figure beside a
// baseline measured in the same run and their ratio, and the target.

#include "ProcessCounters.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace kestrel::bench {

inline void printFigure(const char* name, double value, const char* unit, const char* baseline,
                        double baselineValue, const char* target) {
    std::printf("%-32s %10.4f %-5s ratio %6.3f  vs %s %.4f %s  (target %s)\n", name, value, unit,
                baselineValue > 0 ? value / baselineValue : 0.0, baseline, baselineValue, unit,
                target);
    std::fflush(stdout);
}

// A figure reported for information, with no baseline of its own.
inline void printValue(const char* name, double value, const char* unit, const char* note) {
    std::printf("%-32s %10.4f %-5s %s\n", name, value, unit, note);
    std::fflush(stdout);
}

inline double quantile(std::vector<double> values, double q) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

inline double median(std::vector<double> values) {
    return quantile(std::move(values), 0.5);
}

inline double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

inline QByteArray procFile(qint64 pid, const char* name) {
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Resident set size of a process in KiB.
inline double residentKiB(qint64 pid) {
    for (const QByteArray& line : procFile(pid, "status").split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble();
    }
    return -1;
}

// Peak resident set size of a process in KiB.
inline double peakResidentKiB(qint64 pid) {
    for (const QByteArray& line : procFile(pid, "status").split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble();
    }
    return -1;
}

// User plus system CPU seconds a process has used.
inline double cpuSeconds(qint64 pid) {
    const QByteArray stat = procFile(pid, "stat");
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    // Fields after the name start at "state" (3rd field of the file): utime
    // is the 14th field of the file, stime the 15th.
    if (fields.size() < 13)
        return -1;
    return (fields[11].toDouble() + fields[12].toDouble()) /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

inline int openDescriptors(qint64 pid) {
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

// True once nothing accepts connections on the agent's port (an agent of an
// earlier run may still be on its way out), false after `limitMs`.
inline bool waitForFreeAgentPort(int limitMs = 5000) {
    for (int waited = 0; waited < limitMs; waited += 10) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(43127);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool taken =
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (!taken)
            return true;
        ::usleep(10000);
    }
    return false;
}

} // namespace kestrel::bench
