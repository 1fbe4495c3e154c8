#pragma once

#include "update/AvailableUpdate.h"
#include "update/UpdateError.h"
#include "update/UpdateManifest.h"

#include <QString>
#include <variant>

namespace kestrel {

// How one platform's builds are published: its manifest, its key in the
// manifest's builds and the parts of its file name.
struct UpdatePlatform {
    QString manifestName;
    QString buildKey;
    QString filenameSystem;
    QString filenamePlatform;
    QString fileExtension;
    // Names the platform in messages and in the window's footer.
    QString platformName;
};

UpdatePlatform macUpdatePlatform();
// `cpuArchitecture` as QSysInfo spells it ("x86_64", "arm64").
UpdatePlatform linuxUpdatePlatform(const QString& cpuArchitecture);
// The platform and processor this program was built for.
UpdatePlatform thisUpdatePlatform();

// The file name a release of `version` has for `platform`.
QString updateFilename(const QString& version, const UpdatePlatform& platform);

// The constants that decide which build of a manifest belongs to us.
struct UpdateConstants {
    QString updateHost;
    UpdatePlatform platform;
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
