#pragma once

#include <QList>
#include <QString>
#include <QUrl>
#include <optional>

namespace kestrel {

// True when `value` as a whole is a pairing token: exactly 64 characters, each
// a Latin letter, a digit, an underscore or a hyphen.
bool isPairingToken(const QString& value);

// The pairing token carried by the links the system handed over, or nothing
// when they are not exactly one well-formed pairing link:
// kestrel://connect[/]?pairingToken=<token>, scheme and host in any case, no
// user, password, port or fragment, and no other query item.
std::optional<QString> pairingTokenFromLinks(const QList<QUrl>& links);

} // namespace kestrel
