#pragma once

#include <QStringView>
#include <array>
#include <optional>

namespace kestrel {

using VersionParts = std::array<qint64, 4>;

// "1.2" → {1, 2, 0, 0}. Two to four dot-separated pieces of ASCII digits, each
// within the signed 64-bit range; anything else is not a version.
std::optional<VersionParts> versionParts(QStringView version);

} // namespace kestrel
