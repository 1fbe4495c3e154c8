#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

namespace kestrel {

// The functions a pairing would switch on: the "settings" member of a preview.
struct PairingFunctions {
    bool autoSign = false;
    bool renewTrueApi = false;
    bool renewSuz = false;
    bool autoPrepareFbs = false;
    std::optional<QString> fiasId;
    std::optional<QString> kpp;
};

// What the agent says a pairing token would connect.
struct PairingPreview {
    QString organizationName;
    QString inn;
    QString environment;
    QString certificateThumbprint;
    QString certificateSubject;
    QString certificateValidTo;
    PairingFunctions settings;
};

std::optional<PairingFunctions> decodePairingFunctions(const QJsonObject& object);
// The preview reply body, or nothing when any member is missing or mistyped.
std::optional<PairingPreview> decodePairingPreview(const QByteArray& body);

// The last `count` user-perceived characters of `text` (all of it when shorter).
QString lastCharacters(const QString& text, int count);

// The informative text of the confirmation question.
QString pairingSheetText(const PairingPreview& preview);

} // namespace kestrel
