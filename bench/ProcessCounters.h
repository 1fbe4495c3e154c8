#pragma once

// What the kernel counts for a running process, read from /proc.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

namespace kestrel::bench {

// Voluntary context switches of every thread of a process so far: each is a
// wait for something, so their count is how often the process woke. (Being
// preempted while busy is not waking, and not counted.)
inline long long voluntarySwitches(qint64 pid) {
    long long total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(task + QStringLiteral("/status")));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:"))
                total += line.split(':').value(1).trimmed().toLongLong();
        }
    }
    return total;
}

} // namespace kestrel::bench
