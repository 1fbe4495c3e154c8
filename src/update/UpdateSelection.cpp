#include "UpdateSelection.h"

#include "update/Version.h"

#include <QSysInfo>
#include <QUrl>
#include <algorithm>

namespace kestrel {

UpdatePlatform macUpdatePlatform() {
    return {.manifestName = QStringLiteral("latest-macos.json"),
            .buildKey = QStringLiteral("macos-arm64"),
            .filenameSystem = QStringLiteral("macOS"),
            .filenamePlatform = QStringLiteral("AppleSilicon"),
            .fileExtension = QStringLiteral(".dmg"),
            .platformName = QStringLiteral("Mac с процессором M")};
}

UpdatePlatform linuxUpdatePlatform(const QString& cpuArchitecture) {
    // Debian's names for the architectures, as the package itself carries them.
    const bool arm = cpuArchitecture == QLatin1String("arm64");
    const QString debian = arm                                          ? QStringLiteral("arm64")
                           : cpuArchitecture == QLatin1String("x86_64") ? QStringLiteral("amd64")
                                                                        : cpuArchitecture;
    const QString name = arm                                          ? QStringLiteral("ARM64")
                         : cpuArchitecture == QLatin1String("x86_64") ? QStringLiteral("x86-64")
                                                                      : cpuArchitecture;
    return {.manifestName = QStringLiteral("latest-linux.json"),
            .buildKey = QStringLiteral("linux-") + debian,
            .filenameSystem = QStringLiteral("linux"),
            .filenamePlatform = debian,
            .fileExtension = QStringLiteral(".deb"),
            .platformName = QStringLiteral("Linux ") + name};
}

UpdatePlatform thisUpdatePlatform() {
#ifdef Q_OS_MACOS
    return macUpdatePlatform();
#else
    return linuxUpdatePlatform(QSysInfo::buildCpuArchitecture());
#endif
}

QString updateFilename(const QString& version, const UpdatePlatform& platform) {
    return QStringLiteral("KESTREL-Agent-") + version + QLatin1Char('-') + platform.filenameSystem +
           QLatin1Char('-') + platform.filenamePlatform + platform.fileExtension;
}

QString updateMessages::missingBuild(const QString& platformName) {
    return QStringLiteral("Сборка для ") + platformName + QStringLiteral(" пока не опубликована.");
}

namespace {

const QString httpsPrefix = QStringLiteral("https://");

bool isLowercaseSha256(const QString& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
           });
}

// QUrl lowercases the scheme and the host and drops an empty port, so the
// exact spelling is checked on the text as published: the authority must be
// the bare host name.
bool hasExactSchemeAndAuthority(const QString& text, const QString& host) {
    if (!text.startsWith(httpsPrefix))
        return false;
    const QStringView rest = QStringView(text).mid(httpsPrefix.size());
    const qsizetype end =
        std::find_if(rest.begin(), rest.end(),
                     [](QChar c) { return c == u'/' || c == u'?' || c == u'#'; }) -
        rest.begin();
    return rest.left(end) == host;
}

bool isAcceptableAddress(const QUrl& url, const QString& text, const QString& host,
                         const QString& filename) {
    return url.isValid() && url.scheme() == QLatin1String("https") &&
           hasExactSchemeAndAuthority(text, host) && url.host() == host && url.port() == -1 &&
           !url.hasQuery() && !url.hasFragment() && url.userInfo().isEmpty() &&
           url.path(QUrl::FullyDecoded) == QStringLiteral("/downloads/print-agent/") + filename;
}

} // namespace

UpdateOutcome availableUpdate(const UpdateManifest& manifest, const QString& appVersion,
                              const UpdateConstants& constants) {
    const std::optional<VersionParts> running = versionParts(appVersion);
    const std::optional<VersionParts> published = versionParts(manifest.version);
    if (!running || !published)
        return updateError(updateMessages::badVersion);
    if (!(*running < *published))
        return UpToDate{};

    const auto found = manifest.builds.constFind(constants.platform.buildKey);
    if (found == manifest.builds.constEnd())
        return updateError(updateMessages::missingBuild(constants.platform.platformName));
    const UpdateBuild& build = *found;

    const QString expectedName = updateFilename(manifest.version, constants.platform);
    const QUrl url(build.url, QUrl::StrictMode);
    if (build.filename != expectedName ||
        !isAcceptableAddress(url, build.url, constants.updateHost, build.filename) ||
        !isLowercaseSha256(build.sha256))
        return updateError(updateMessages::badBuild);

    return AvailableUpdate{.version = manifest.version,
                           .filename = build.filename,
                           .url = url,
                           .sha256 = build.sha256};
}

} // namespace kestrel
