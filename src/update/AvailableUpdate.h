#pragma once

#include <QString>
#include <QUrl>

namespace kestrel {

// A newer build of the application that passed every check of the manifest.
struct AvailableUpdate {
    QString version;
    QString filename;
    QUrl url;
    QString sha256;

    bool operator==(const AvailableUpdate&) const = default;
};

} // namespace kestrel
