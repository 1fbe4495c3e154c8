#include "Version.h"

#include <QList>
#include <algorithm>

namespace kestrel {

namespace {

std::optional<qint64> versionPiece(QStringView piece) {
    if (piece.isEmpty())
        return std::nullopt;
    const bool digitsOnly =
        std::all_of(piece.begin(), piece.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    if (!digitsOnly)
        return std::nullopt;
    bool ok = false;
    const qint64 value = piece.toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<VersionParts> versionParts(QStringView version) {
    const QList<QStringView> pieces = version.split(u'.', Qt::KeepEmptyParts);
    if (pieces.size() < 2 || pieces.size() > 4)
        return std::nullopt;
    VersionParts parts{0, 0, 0, 0};
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const std::optional<qint64> value = versionPiece(pieces[i]);
        if (!value)
            return std::nullopt;
        parts[static_cast<size_t>(i)] = *value;
    }
    return parts;
}

} // namespace kestrel
