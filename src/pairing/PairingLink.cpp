#include "PairingLink.h"

#include <QRegularExpression>
#include <QUrlQuery>

namespace kestrel {

namespace {

bool hasPairingAddress(const QUrl& link) {
    if (link.scheme().toLower() != QLatin1String("kestrel"))
        return false;
    if (link.host().toLower() != QLatin1String("connect"))
        return false;
    // An empty user part ("kestrel://@connect") leaves no user name behind in
    // QUrl, so the authority has to be compared as a whole as well.
    if (!link.userName().isNull() || !link.password().isNull() || link.port() != -1)
        return false;
    if (link.authority(QUrl::FullyEncoded).toLower() != QLatin1String("connect"))
        return false;
    if (link.hasFragment())
        return false;
    const QString path = link.path(QUrl::FullyEncoded);
    return path.isEmpty() || path == QLatin1String("/");
}

std::optional<QString> onlyPairingItem(const QUrl& link) {
    // QUrlQuery skips empty items ("a=b&"), which still count as items here.
    if (!link.hasQuery() || link.query(QUrl::FullyEncoded).contains(QLatin1Char('&')))
        return std::nullopt;
    const auto items = QUrlQuery(link).queryItems(QUrl::FullyDecoded);
    if (items.size() != 1 || items.first().first != QLatin1String("pairingToken"))
        return std::nullopt;
    // An item written without "=" has a null value; one written with "=" and
    // nothing after it has an empty one.
    if (items.first().second.isNull())
        return std::nullopt;
    return items.first().second;
}

} // namespace

bool isPairingToken(const QString& value) {
    // "^…$" would also let a value with a trailing line feed through.
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_-]{64}")));
    return pattern.match(value).hasMatch();
}

std::optional<QString> pairingTokenFromLinks(const QList<QUrl>& links) {
    if (links.size() != 1)
        return std::nullopt;
    const QUrl& link = links.first();
    if (!link.isValid() || !hasPairingAddress(link))
        return std::nullopt;
    const std::optional<QString> value = onlyPairingItem(link);
    if (!value || !isPairingToken(*value))
        return std::nullopt;
    return value;
}

} // namespace kestrel
