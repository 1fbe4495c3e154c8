#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace kestrel {

// The version a bundle reports when its Info.plist has no usable one.
inline constexpr char fallbackBundleVersion[] = "0.5.5";

// A longer Info.plist is not read; the agent refuses it too, so both then
// report the fallback version.
inline constexpr qint64 maximumInfoPlistBytes = 1024 * 1024;

// The .app folder around an executable in <bundle>/Contents/MacOS; the
// executable's own folder when it is not inside a bundle.
QString bundlePathForExecutableDir(const QString& executableDir);

// CFBundleShortVersionString of an XML property list, when it is present in
// the top-level dictionary and is a string.
std::optional<QString> shortVersionFromInfoPlist(const QByteArray& plist);

// The bundle's version, or the fallback when Contents/Info.plist is missing,
// unreadable, too long or has no string version.
QString bundleVersion(const QString& bundlePath);

} // namespace kestrel
