#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

namespace kestrel {

// The `signing` member of the health reply. Members the application does not
// show are still checked, so a reply that breaks the contract anywhere fails.
class SigningStatus {
public:
    struct Fields {
        bool configured = false;
        bool enabled = false;
        std::optional<QString> code;
        QString message;
        std::optional<QString> organizationName;
        std::optional<bool> autoSign;
        std::optional<bool> renewTrueApi;
        std::optional<bool> renewSuz;
        std::optional<bool> autoPrepareFbs;
    };

    explicit SigningStatus(Fields fields) : m(std::move(fields)) {}

    static std::optional<SigningStatus> fromJson(const QJsonObject& object);

    bool configured() const { return m.configured; }
    bool enabled() const { return m.enabled; }
    const std::optional<QString>& code() const { return m.code; }
    const QString& message() const { return m.message; }
    const std::optional<QString>& organizationName() const { return m.organizationName; }
    std::optional<bool> autoSign() const { return m.autoSign; }
    std::optional<bool> renewTrueApi() const { return m.renewTrueApi; }
    std::optional<bool> renewSuz() const { return m.renewSuz; }
    std::optional<bool> autoPrepareFbs() const { return m.autoPrepareFbs; }

private:
    Fields m;
};

// The agent's reply to "v1/health".
class AgentHealth {
public:
    struct Fields {
        bool ok = false;
        QString name;
        QString version;
        QString platform;
        QString architecture;
        QString deviceId;
        QStringList formats;
        std::optional<SigningStatus> signing;
    };

    explicit AgentHealth(Fields fields) : m(std::move(fields)) {}

    static std::optional<AgentHealth> fromJson(const QJsonObject& object);
    // Nothing when the body is not a JSON object or the object does not decode.
    static std::optional<AgentHealth> fromBody(const QByteArray& body);

    bool ok() const { return m.ok; }
    const QString& name() const { return m.name; }
    const QString& version() const { return m.version; }
    const QString& platform() const { return m.platform; }
    const QString& architecture() const { return m.architecture; }
    const QString& deviceId() const { return m.deviceId; }
    const QStringList& formats() const { return m.formats; }
    const std::optional<SigningStatus>& signing() const { return m.signing; }

private:
    Fields m;
};

} // namespace kestrel
