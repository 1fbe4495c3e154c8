#include "SigningAccess.h"

namespace kestrel {

std::optional<QUrl> integrationPageUrl(const QUrl& portal) {
    if (!portal.isValid() || portal.isRelative() || portal.host().isEmpty())
        return std::nullopt;
    QUrl page = portal;
    page.setPath(QStringLiteral("/app"));
    page.setQuery(QStringLiteral("view=integration"));
    page.setFragment(QString());
    return page;
}

} // namespace kestrel
