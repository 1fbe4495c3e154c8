#pragma once

#include "update/AvailableUpdate.h"
#include "update/UpdateError.h"
#include "update/UpdateManifest.h"

#include <QString>
#include <variant>

namespace kestrel {

// The constants that decide which build of a manifest belongs to us.
struct UpdateConstants {
    QString updateHost;
    QString updateBuildKey;
    QString updateFilenamePlatform;
    QString updatePlatformName;
};

// The published version is not newer than the running one.
struct UpToDate {
    bool operator==(const UpToDate&) const = default;
};

// What a check ends with: a newer acceptable build, none, or why it failed.
using UpdateOutcome = std::variant<AvailableUpdate, UpToDate, UpdateError>;

namespace updateMessages {
inline const QString badVersion = QStringLiteral("Сервер опубликовал некорректный номер версии.");
inline const QString badBuild =
    QStringLiteral("Адрес или контрольная сумма обновления некорректны.");
QString missingBuild(const QString& platformName);
} // namespace updateMessages

// Decides whether the manifest offers a newer build for this platform and
// whether its name, address and checksum are acceptable. Pure.
UpdateOutcome availableUpdate(const UpdateManifest& manifest, const QString& appVersion,
                              const UpdateConstants& constants);

} // namespace kestrel
