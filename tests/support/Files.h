#pragma once

#include <QFile>

namespace kestrel::test {

// The whole file, or nothing when it cannot be read.
inline QByteArray fileContents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace kestrel::test
