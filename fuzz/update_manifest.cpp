// The update manifest: decoding, version parsing and the choice of a build.
// Whatever the manifest says, an offered build is newer than the running
// version, comes over HTTPS from the update host under the download folder
// and carries a well-formed checksum.

#include "FuzzCheck.h"
#include "update/UpdateManifest.h"
#include "update/UpdateSelection.h"
#include "update/Version.h"

#include <QByteArray>
#include <QUrl>
#include <cstddef>
#include <cstdint>

using namespace kestrel;

namespace {

const UpdateConstants constants{
    .updateHost = QStringLiteral("updates.kestrel.example"),
    .platform = macUpdatePlatform(),
};
const QString running = QStringLiteral("1.0.0");

void checkOffer(const UpdateManifest& manifest, const AvailableUpdate& offer) {
    const std::optional<VersionParts> published = versionParts(offer.version);
    FUZZ_CHECK(published && *versionParts(running) < *published);
    FUZZ_CHECK(offer.version == manifest.version);
    FUZZ_CHECK(offer.url.isValid());
    FUZZ_CHECK(offer.url.scheme() == QLatin1String("https"));
    FUZZ_CHECK(offer.url.host() == constants.updateHost);
    FUZZ_CHECK(offer.url.port() == -1 && offer.url.userInfo().isEmpty());
    FUZZ_CHECK(!offer.url.hasQuery() && !offer.url.hasFragment());
    FUZZ_CHECK(offer.url.path(QUrl::FullyDecoded) ==
               QStringLiteral("/downloads/print-agent/") + offer.filename);
    FUZZ_CHECK(offer.filename == QStringLiteral("KESTREL-Agent-") + offer.version +
                                     QStringLiteral("-macOS-AppleSilicon.dmg"));
    FUZZ_CHECK(!offer.filename.contains(QLatin1Char('/')));
    FUZZ_CHECK(offer.sha256.size() == 64);
    for (const QChar c : offer.sha256)
        FUZZ_CHECK((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    // The raw text as a version, too: it need not come from valid JSON.
    if (const std::optional<VersionParts> parts = versionParts(QString::fromUtf8(body))) {
        for (const qint64 part : *parts)
            FUZZ_CHECK(part >= 0);
    }

    const std::optional<UpdateManifest> manifest = decodeUpdateManifest(body);
    if (!manifest)
        return 0;
    const UpdateOutcome outcome = availableUpdate(*manifest, running, constants);
    if (const auto* offer = std::get_if<AvailableUpdate>(&outcome))
        checkOffer(*manifest, *offer);
    if (std::holds_alternative<UpToDate>(outcome))
        FUZZ_CHECK(!(*versionParts(running) < *versionParts(manifest->version)));
    // The running version never offers itself.
    FUZZ_CHECK(!std::holds_alternative<AvailableUpdate>(
        availableUpdate(*manifest, manifest->version, constants)));
    return 0;
}
