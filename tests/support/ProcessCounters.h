#pragma once

// What the kernel counts for a running process, read from /proc.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

namespace kestrel::test {

// Context switches of every thread of a process so far, voluntary and not:
// how often it was woken or preempted.
inline long long contextSwitches(qint64 pid) {
    long long total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(task + QStringLiteral("/status")));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.contains("ctxt_switches:"))
                total += line.split(':').value(1).trimmed().toLongLong();
        }
    }
    return total;
}

} // namespace kestrel::test
