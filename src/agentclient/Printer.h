#pragma once

#include <QJsonValue>
#include <QString>
#include <optional>

namespace kestrel {

// One printer the agent can see, as listed in the printers reply.
class Printer {
public:
    Printer(QString name, bool isDefault) : m_name(std::move(name)), m_isDefault(isDefault) {}

    // Strict: an object with a string `name` and a boolean `isDefault`.
    static std::optional<Printer> fromJson(const QJsonValue& value);

    const QString& name() const { return m_name; }
    bool isDefault() const { return m_isDefault; }

    bool operator==(const Printer&) const = default;

private:
    QString m_name;
    bool m_isDefault;
};

} // namespace kestrel
