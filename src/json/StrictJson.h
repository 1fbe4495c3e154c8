#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

// Strict reading of JSON records received from outside the application.
//
// Every record decoder goes through these helpers so that all of them share
// one set of rules: member names are exact, JSON types are exact (1 is not a
// boolean, a number is not a string), an optional member may be absent or
// null, members nobody asked for are ignored, and a record either decodes as a
// whole or not at all.
namespace kestrel::json {

// The body as a JSON object, or nothing when it is not valid JSON or its top
// level is not an object.
std::optional<QJsonObject> parseObject(const QByteArray& body);

// Reads members of one object. Every read that finds a missing required
// member or a wrongly typed value marks the reader failed; a decoder reads all
// the members it needs, then asks ok() once.
class ObjectReader {
public:
    explicit ObjectReader(QJsonObject object) : m_object(std::move(object)) {}

    bool ok() const { return m_ok; }

    QString string(const QString& key);
    bool boolean(const QString& key);
    QStringList stringArray(const QString& key);
    QJsonArray array(const QString& key);
    QJsonObject object(const QString& key);

    std::optional<QString> optionalString(const QString& key);
    std::optional<bool> optionalBoolean(const QString& key);
    std::optional<QJsonObject> optionalObject(const QString& key);

    // For nested records: fails the reader when the nested decode failed.
    template <typename T> T require(std::optional<T> value) {
        if (!value) {
            m_ok = false;
            return T{};
        }
        return std::move(*value);
    }

private:
    // The member's value when present with the wanted type; fails the reader
    // otherwise.
    std::optional<QJsonValue> required(const QString& key, QJsonValue::Type type);
    // Absent and null both mean "no value"; any other type than the wanted
    // one fails the reader.
    std::optional<QJsonValue> optional(const QString& key, QJsonValue::Type type);

    QJsonObject m_object;
    bool m_ok = true;
};

// Decodes every element of an array with one record decoder; one element that
// does not decode fails the whole array.
template <typename T>
std::optional<std::vector<T>>
decodeArray(const QJsonArray& array, const std::function<std::optional<T>(const QJsonValue&)>& decode) {
    std::vector<T> result;
    result.reserve(static_cast<size_t>(array.size()));
    for (const QJsonValue& element : array) {
        std::optional<T> item = decode(element);
        if (!item)
            return std::nullopt;
        result.push_back(std::move(*item));
    }
    return result;
}

} // namespace kestrel::json
