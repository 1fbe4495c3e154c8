#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <optional>

namespace kestrel {

// One published disk image, as the manifest lists it.
struct UpdateBuild {
    QString filename;
    QString url;
    QString sha256;

    bool operator==(const UpdateBuild&) const = default;
};

// The published version and its builds, keyed by platform.
struct UpdateManifest {
    QString version;
    QMap<QString, UpdateBuild> builds;

    bool operator==(const UpdateManifest&) const = default;
};

// Strict decoding: every member required with its exact JSON type, and every
// entry of "builds" must be a complete build, not only the one we look up.
std::optional<UpdateManifest> decodeUpdateManifest(const QByteArray& body);

} // namespace kestrel
