#include "PairingPreview.h"

#include "json/StrictJson.h"
#include <QStringList>
#include <QTextBoundaryFinder>

namespace kestrel {

namespace {

QString functionLine(bool enabled, const QString& label) {
    return (enabled ? QStringLiteral("✓ ") : QStringLiteral("— ")) + label;
}

QString functionLines(const PairingFunctions& functions) {
    const QString firstLabel = functions.autoSign && !functions.autoPrepareFbs
                                   ? QStringLiteral("Автоподписание FBS")
                                   : QStringLiteral("Автоматический вывод FBS");
    return QStringList{functionLine(functions.autoSign, firstLabel),
                       functionLine(functions.renewTrueApi, QStringLiteral("Продление ЧЗ")),
                       functionLine(functions.renewSuz, QStringLiteral("Продление СУЗ"))}
        .join(QLatin1Char('\n'));
}

QString placeText(const PairingFunctions& functions) {
    if (!functions.autoPrepareFbs)
        return {};
    QString text = QStringLiteral("\nМесто выбытия: ") + functions.fiasId.value_or(QString());
    if (functions.kpp)
        text += QStringLiteral(" · КПП ") + *functions.kpp;
    return text;
}

QString environmentLabel(const QString& environment) {
    return environment == QLatin1String("production") ? QStringLiteral("Рабочий кабинет")
                                                      : QStringLiteral("Тестовый кабинет");
}

} // namespace

std::optional<PairingFunctions> decodePairingFunctions(const QJsonObject& object) {
    json::ObjectReader reader(object);
    PairingFunctions functions{
        .autoSign = reader.boolean(QStringLiteral("autoSign")),
        .renewTrueApi = reader.boolean(QStringLiteral("renewTrueApi")),
        .renewSuz = reader.boolean(QStringLiteral("renewSuz")),
        .autoPrepareFbs = reader.boolean(QStringLiteral("autoPrepareFbs")),
        .fiasId = reader.optionalString(QStringLiteral("fiasId")),
        .kpp = reader.optionalString(QStringLiteral("kpp")),
    };
    if (!reader.ok())
        return std::nullopt;
    return functions;
}

std::optional<PairingPreview> decodePairingPreview(const QByteArray& body) {
    const std::optional<QJsonObject> object = json::parseObject(body);
    if (!object)
        return std::nullopt;
    json::ObjectReader reader(*object);
    PairingPreview preview{
        .organizationName = reader.string(QStringLiteral("organizationName")),
        .inn = reader.string(QStringLiteral("inn")),
        .environment = reader.string(QStringLiteral("environment")),
        .certificateThumbprint = reader.string(QStringLiteral("certificateThumbprint")),
        .certificateSubject = reader.string(QStringLiteral("certificateSubject")),
        .certificateValidTo = reader.string(QStringLiteral("certificateValidTo")),
        .settings =
            reader.require(decodePairingFunctions(reader.object(QStringLiteral("settings")))),
    };
    if (!reader.ok())
        return std::nullopt;
    return preview;
}

QString lastCharacters(const QString& text, int count) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    qsizetype start = text.size();
    for (int i = 0; i < count && start > 0; ++i) {
        const qsizetype previous = finder.toPreviousBoundary();
        start = previous < 0 ? 0 : previous;
    }
    return text.mid(start);
}

QString pairingSheetText(const PairingPreview& preview) {
    return preview.organizationName + QStringLiteral("\nИНН ") + preview.inn +
           QStringLiteral(" · ") + environmentLabel(preview.environment) +
           QStringLiteral("\n\nУКЭП …") + lastCharacters(preview.certificateThumbprint, 8) +
           QStringLiteral("\nДействует до ") + preview.certificateValidTo + QStringLiteral("\n\n") +
           functionLines(preview.settings) + placeText(preview.settings);
}

} // namespace kestrel
