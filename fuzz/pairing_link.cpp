// Link acceptance: any text handed over as a link, in the strict form the
// command line gives and the tolerant form a URL-open event gives.

#include "FuzzCheck.h"
#include "pairing/PairingLink.h"

#include <QString>
#include <QUrl>
#include <cstddef>
#include <cstdint>

using namespace kestrel;

namespace {

bool isTokenCharacter(QChar c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
           c == u'_' || c == u'-';
}

void checkAccepted(const QUrl& link, const QString& token) {
    FUZZ_CHECK(token.size() == 64);
    for (const QChar c : token)
        FUZZ_CHECK(isTokenCharacter(c));
    FUZZ_CHECK(link.scheme().compare(QLatin1String("kestrel"), Qt::CaseInsensitive) == 0);
    FUZZ_CHECK(link.host().compare(QLatin1String("connect"), Qt::CaseInsensitive) == 0);
    FUZZ_CHECK(link.port() == -1 && link.userInfo().isEmpty() && !link.hasFragment());
    // The canonical spelling of an accepted link is accepted with the same token.
    const QUrl canonical(QStringLiteral("kestrel://connect?pairingToken=") + token,
                         QUrl::StrictMode);
    FUZZ_CHECK(pairingTokenFromLinks({canonical}) == token);
    // Exactly one link: the same link twice is never accepted.
    FUZZ_CHECK(!pairingTokenFromLinks({link, link}));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    if (isPairingToken(text)) {
        FUZZ_CHECK(text.size() == 64);
        for (const QChar c : text)
            FUZZ_CHECK(isTokenCharacter(c));
    }

    for (const QUrl::ParsingMode mode : {QUrl::StrictMode, QUrl::TolerantMode}) {
        const QUrl link(text, mode);
        if (const std::optional<QString> token = pairingTokenFromLinks({link}))
            checkAccepted(link, *token);
    }
    return 0;
}
