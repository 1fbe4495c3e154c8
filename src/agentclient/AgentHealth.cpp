#include "AgentHealth.h"

#include "json/StrictJson.h"

namespace kestrel {

std::optional<SigningStatus> SigningStatus::fromJson(const QJsonObject& object) {
    json::ObjectReader reader(object);
    Fields fields;
    fields.configured = reader.boolean(QStringLiteral("configured"));
    fields.enabled = reader.boolean(QStringLiteral("enabled"));
    fields.code = reader.optionalString(QStringLiteral("code"));
    fields.message = reader.string(QStringLiteral("message"));
    fields.organizationName = reader.optionalString(QStringLiteral("organizationName"));
    fields.autoSign = reader.optionalBoolean(QStringLiteral("autoSign"));
    fields.renewTrueApi = reader.optionalBoolean(QStringLiteral("renewTrueApi"));
    fields.renewSuz = reader.optionalBoolean(QStringLiteral("renewSuz"));
    fields.autoPrepareFbs = reader.optionalBoolean(QStringLiteral("autoPrepareFbs"));
    if (!reader.ok())
        return std::nullopt;
    return SigningStatus(std::move(fields));
}

std::optional<AgentHealth> AgentHealth::fromJson(const QJsonObject& object) {
    json::ObjectReader reader(object);
    Fields fields;
    fields.ok = reader.boolean(QStringLiteral("ok"));
    fields.name = reader.string(QStringLiteral("name"));
    fields.version = reader.string(QStringLiteral("version"));
    fields.platform = reader.string(QStringLiteral("platform"));
    fields.architecture = reader.string(QStringLiteral("architecture"));
    fields.deviceId = reader.string(QStringLiteral("deviceId"));
    fields.formats = reader.stringArray(QStringLiteral("formats"));
    const std::optional<QJsonObject> signing = reader.optionalObject(QStringLiteral("signing"));
    if (!reader.ok())
        return std::nullopt;
    if (signing) {
        fields.signing = SigningStatus::fromJson(*signing);
        if (!fields.signing)
            return std::nullopt;
    }
    return AgentHealth(std::move(fields));
}

std::optional<AgentHealth> AgentHealth::fromBody(const QByteArray& body) {
    const std::optional<QJsonObject> object = json::parseObject(body);
    return object ? fromJson(*object) : std::nullopt;
}

} // namespace kestrel
