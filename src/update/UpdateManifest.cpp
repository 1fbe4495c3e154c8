#include "UpdateManifest.h"

#include "json/StrictJson.h"

namespace kestrel {

namespace {

std::optional<UpdateBuild> decodeBuild(const QJsonValue& value) {
    if (!value.isObject())
        return std::nullopt;
    json::ObjectReader reader(value.toObject());
    UpdateBuild build{
        .filename = reader.string(QStringLiteral("filename")),
        .url = reader.string(QStringLiteral("url")),
        .sha256 = reader.string(QStringLiteral("sha256")),
    };
    if (!reader.ok())
        return std::nullopt;
    return build;
}

} // namespace

std::optional<UpdateManifest> decodeUpdateManifest(const QByteArray& body) {
    const std::optional<QJsonObject> object = json::parseObject(body);
    if (!object)
        return std::nullopt;
    json::ObjectReader reader(*object);
    UpdateManifest manifest;
    manifest.version = reader.string(QStringLiteral("version"));
    const QJsonObject builds = reader.object(QStringLiteral("builds"));
    if (!reader.ok())
        return std::nullopt;
    for (auto it = builds.constBegin(); it != builds.constEnd(); ++it) {
        std::optional<UpdateBuild> build = decodeBuild(it.value());
        if (!build)
            return std::nullopt;
        manifest.builds.insert(it.key(), std::move(*build));
    }
    return manifest;
}

} // namespace kestrel
