#include "PrintersResponse.h"

#include "json/StrictJson.h"

namespace kestrel {

std::optional<Printer> Printer::fromJson(const QJsonValue& value) {
    if (!value.isObject())
        return std::nullopt;
    json::ObjectReader reader(value.toObject());
    QString name = reader.string(QStringLiteral("name"));
    const bool isDefault = reader.boolean(QStringLiteral("isDefault"));
    if (!reader.ok())
        return std::nullopt;
    return Printer(std::move(name), isDefault);
}

std::optional<PrintersResponse> PrintersResponse::fromJson(const QJsonObject& object) {
    json::ObjectReader reader(object);
    const bool ok = reader.boolean(QStringLiteral("ok"));
    const QJsonArray elements = reader.array(QStringLiteral("printers"));
    std::optional<std::vector<Printer>> printers =
        json::decodeArray<Printer>(elements, &Printer::fromJson);
    if (!reader.ok() || !printers)
        return std::nullopt;
    return PrintersResponse(ok, std::move(*printers));
}

std::optional<PrintersResponse> PrintersResponse::fromBody(const QByteArray& body) {
    const std::optional<QJsonObject> object = json::parseObject(body);
    return object ? fromJson(*object) : std::nullopt;
}

} // namespace kestrel
