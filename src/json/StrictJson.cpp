#include "StrictJson.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace kestrel::json {

std::optional<QJsonObject> parseObject(const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<QJsonValue> ObjectReader::required(const QString& key, QJsonValue::Type type) {
    const auto it = m_object.constFind(key);
    if (it == m_object.constEnd() || it->type() != type) {
        m_ok = false;
        return std::nullopt;
    }
    return *it;
}

std::optional<QJsonValue> ObjectReader::optional(const QString& key, QJsonValue::Type type) {
    const auto it = m_object.constFind(key);
    if (it == m_object.constEnd() || it->isNull())
        return std::nullopt;
    if (it->type() != type) {
        m_ok = false;
        return std::nullopt;
    }
    return *it;
}

QString ObjectReader::string(const QString& key) {
    const auto value = required(key, QJsonValue::String);
    return value ? value->toString() : QString();
}

bool ObjectReader::boolean(const QString& key) {
    const auto value = required(key, QJsonValue::Bool);
    return value ? value->toBool() : false;
}

QJsonArray ObjectReader::array(const QString& key) {
    const auto value = required(key, QJsonValue::Array);
    return value ? value->toArray() : QJsonArray();
}

QJsonObject ObjectReader::object(const QString& key) {
    const auto value = required(key, QJsonValue::Object);
    return value ? value->toObject() : QJsonObject();
}

QStringList ObjectReader::stringArray(const QString& key) {
    QStringList result;
    for (const QJsonValue& element : array(key)) {
        if (!element.isString()) {
            m_ok = false;
            return {};
        }
        result.append(element.toString());
    }
    return result;
}

std::optional<QString> ObjectReader::optionalString(const QString& key) {
    const auto value = optional(key, QJsonValue::String);
    return value ? std::optional(value->toString()) : std::nullopt;
}

std::optional<bool> ObjectReader::optionalBoolean(const QString& key) {
    const auto value = optional(key, QJsonValue::Bool);
    return value ? std::optional(value->toBool()) : std::nullopt;
}

std::optional<QJsonObject> ObjectReader::optionalObject(const QString& key) {
    const auto value = optional(key, QJsonValue::Object);
    return value ? std::optional(value->toObject()) : std::nullopt;
}

} // namespace kestrel::json
