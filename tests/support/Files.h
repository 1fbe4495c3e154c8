#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRegularExpression>
#include <QString>

namespace kestrel::test {

// The whole file, or nothing when it cannot be read.
inline QByteArray fileContents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes `contents` to `path`, making its folder; returns the path.
inline QString writeFile(const QString& path, const QByteArray& contents, bool executable = false) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(contents) >= 0 &&
        executable)
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

// One line the application wrote to its log (the agent's lines are not).
struct OwnLine {
    QString launchId;
    double elapsed = 0.0;
    QString event;
};

inline QList<OwnLine> ownLines(const QString& logPath) {
    static const QRegularExpression own(
        QStringLiteral(R"(^\S+ APP launch=([0-9A-F-]{36}) elapsed_s=(\d+\.\d{3}) (.*)$)"));
    QList<OwnLine> result;
    for (const QString& line : QString::fromUtf8(fileContents(logPath)).split(u'\n'))
        if (const auto match = own.match(line); match.hasMatch())
            result.append({match.captured(1), match.captured(2).toDouble(), match.captured(3)});
    return result;
}

} // namespace kestrel::test
