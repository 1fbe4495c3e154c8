#include "pairing/PairingPreview.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace kestrel;

namespace {

QJsonObject validSettings() {
    return {{"autoSign", true},       {"renewTrueApi", true},      {"renewSuz", true},
            {"autoPrepareFbs", true}, {"fiasId", "0c5b2444-70a0"}, {"kpp", "770101001"}};
}

QJsonObject validPreview() {
    return {{"organizationName", "ООО «Ромашка»"},
            {"inn", "7701234567"},
            {"environment", "production"},
            {"certificateThumbprint", "A1B2C3D4E5F6A7B8C9D0E1F2A3B4C5D6E7F8A9B0"},
            {"certificateSubject", "CN=Иванов Иван"},
            {"certificateValidTo", "2026-03-31"},
            {"settings", validSettings()},
            {"futureMember", 42}};
}

QByteArray bytes(const QJsonObject& object) {
    return QJsonDocument(object).toJson();
}

PairingPreview preview(const QJsonObject& object) {
    const auto decoded = decodePairingPreview(bytes(object));
    if (!decoded)
        qFatal("test preview does not decode");
    return *decoded;
}

QJsonObject withSettings(bool autoSign, bool renewTrueApi, bool renewSuz, bool autoPrepareFbs) {
    QJsonObject settings = validSettings();
    settings["autoSign"] = autoSign;
    settings["renewTrueApi"] = renewTrueApi;
    settings["renewSuz"] = renewSuz;
    settings["autoPrepareFbs"] = autoPrepareFbs;
    QJsonObject object = validPreview();
    object["settings"] = settings;
    return object;
}

} // namespace

class TestPairingPreview : public QObject {
    Q_OBJECT
private slots:
    void refused_data();
    void refused();

    void tenLineExample();
    void environmentLabel_data();
    void environmentLabel();
    void thumbprintTail_data();
    void thumbprintTail();
    void functionLines_data();
    void functionLines();
    void placeLine_data();
    void placeLine();
};

void TestPairingPreview::refused_data() {
    QTest::addColumn<QByteArray>("body");

    const QStringList members{"organizationName",
                              "inn",
                              "environment",
                              "certificateThumbprint",
                              "certificateSubject",
                              "certificateValidTo",
                              "settings"};
    for (const QString& member : members) {
        QJsonObject missing = validPreview();
        missing.remove(member);
        QTest::newRow(qPrintable("missing " + member)) << bytes(missing);
        QJsonObject null = validPreview();
        null[member] = QJsonValue::Null;
        QTest::newRow(qPrintable("null " + member)) << bytes(null);
    }
    for (const char* flag : {"autoSign", "renewTrueApi", "renewSuz", "autoPrepareFbs"}) {
        QJsonObject object = validPreview();
        QJsonObject settings = validSettings();
        settings.remove(flag);
        object["settings"] = settings;
        QTest::newRow(qPrintable(QStringLiteral("missing settings.") + flag)) << bytes(object);
    }
    auto withMember = [](const QString& member, const QJsonValue& value) {
        QJsonObject object = validPreview();
        object[member] = value;
        return bytes(object);
    };
    auto withSetting = [](const QString& member, const QJsonValue& value) {
        QJsonObject object = validPreview();
        QJsonObject settings = validSettings();
        settings[member] = value;
        object["settings"] = settings;
        return bytes(object);
    };
    QTest::newRow("autoSign as number 1") << withSetting("autoSign", 1);
    QTest::newRow("renewSuz as string") << withSetting("renewSuz", "true");
    QTest::newRow("autoPrepareFbs null") << withSetting("autoPrepareFbs", QJsonValue::Null);
    QTest::newRow("kpp as number") << withSetting("kpp", 770101001);
    QTest::newRow("fiasId as bool") << withSetting("fiasId", true);
    QTest::newRow("inn as number") << withMember("inn", 7701234567LL);
    QTest::newRow("settings as array") << withMember("settings", QJsonArray{});
    QTest::newRow("top level array") << QByteArray("[]");
    QTest::newRow("not JSON") << QByteArray("<html>");
    QTest::newRow("empty body") << QByteArray();
}

void TestPairingPreview::refused() {
    QFETCH(QByteArray, body);
    QVERIFY(!decodePairingPreview(body));
}

void TestPairingPreview::tenLineExample() {
    const QString expected = QStringLiteral("ООО «Ромашка»\n"
                                            "ИНН 7701234567 · Рабочий кабинет\n"
                                            "\n"
                                            "УКЭП …E7F8A9B0\n"
                                            "Действует до 2026-03-31\n"
                                            "\n"
                                            "✓ Автоматический вывод FBS\n"
                                            "✓ Продление ЧЗ\n"
                                            "✓ Продление СУЗ\n"
                                            "Место выбытия: 0c5b2444-70a0 · КПП 770101001");
    const QString text = pairingSheetText(preview(validPreview()));
    QCOMPARE(text, expected);
    QCOMPARE(text.split('\n').size(), 10);
}

void TestPairingPreview::environmentLabel_data() {
    QTest::addColumn<QString>("environment");
    QTest::addColumn<QString>("label");
    QTest::newRow("production") << "production"
                                << "Рабочий кабинет";
    QTest::newRow("capitalised") << "Production"
                                 << "Тестовый кабинет";
    QTest::newRow("sandbox") << "sandbox"
                             << "Тестовый кабинет";
}

void TestPairingPreview::environmentLabel() {
    QFETCH(QString, environment);
    QFETCH(QString, label);
    QJsonObject object = validPreview();
    object["environment"] = environment;
    const QStringList lines = pairingSheetText(preview(object)).split('\n');
    QCOMPARE(lines.at(1), QStringLiteral("ИНН 7701234567 · ") + label);
}

void TestPairingPreview::thumbprintTail_data() {
    QTest::addColumn<QString>("thumbprint");
    QTest::addColumn<QString>("tail");
    QTest::newRow("long") << "00112233445566778899AABB"
                          << "8899AABB";
    QTest::newRow("exactly 8") << "8899AABB"
                               << "8899AABB";
    QTest::newRow("5 characters") << "9AABB"
                                  << "9AABB";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("Cyrillic counts characters, not bytes") << "ффффЖЖЖЖЖЖЖЖ"
                                                           << "ЖЖЖЖЖЖЖЖ";
    QTest::newRow("character outside the basic plane")
        << QString::fromUtf8("01234567\xF0\x9F\x94\x91")
        << QString::fromUtf8("1234567\xF0\x9F\x94\x91");
    QTest::newRow("combining accent stays with its letter")
        << QString::fromUtf8("XXXXXXXXe\xCC\x81") << QString::fromUtf8("XXXXXXXe\xCC\x81");
}

void TestPairingPreview::thumbprintTail() {
    QFETCH(QString, thumbprint);
    QFETCH(QString, tail);
    QJsonObject object = validPreview();
    object["certificateThumbprint"] = thumbprint;
    const QStringList lines = pairingSheetText(preview(object)).split('\n');
    QCOMPARE(lines.at(3), QStringLiteral("УКЭП …") + tail);
}

void TestPairingPreview::functionLines_data() {
    QTest::addColumn<bool>("autoSign");
    QTest::addColumn<bool>("renewTrueApi");
    QTest::addColumn<bool>("renewSuz");
    QTest::addColumn<bool>("autoPrepareFbs");
    QTest::addColumn<QString>("lines");

    QTest::newRow("all true") << true << true << true << true
                              << "✓ Автоматический вывод FBS\n✓ Продление ЧЗ\n✓ Продление СУЗ";
    QTest::newRow("all false") << false << false << false << false
                               << "— Автоматический вывод FBS\n— Продление ЧЗ\n— Продление СУЗ";
    QTest::newRow("sign without prepare")
        << true << false << false << false
        << "✓ Автоподписание FBS\n— Продление ЧЗ\n— Продление СУЗ";
    QTest::newRow("prepare without sign")
        << false << true << false << true
        << "— Автоматический вывод FBS\n✓ Продление ЧЗ\n— Продление СУЗ";
    QTest::newRow("sign and prepare")
        << true << false << true << true
        << "✓ Автоматический вывод FBS\n— Продление ЧЗ\n✓ Продление СУЗ";
    QTest::newRow("only renewals") << false << true << true << false
                                   << "— Автоматический вывод FBS\n✓ Продление ЧЗ\n✓ Продление СУЗ";
}

void TestPairingPreview::functionLines() {
    QFETCH(bool, autoSign);
    QFETCH(bool, renewTrueApi);
    QFETCH(bool, renewSuz);
    QFETCH(bool, autoPrepareFbs);
    QFETCH(QString, lines);
    const QString text =
        pairingSheetText(preview(withSettings(autoSign, renewTrueApi, renewSuz, autoPrepareFbs)));
    const QString functions = text.section(QStringLiteral("\n\n"), 2);
    const QString expected =
        autoPrepareFbs ? lines + QStringLiteral("\nМесто выбытия: 0c5b2444-70a0 · КПП 770101001")
                       : lines;
    QCOMPARE(functions, expected);
}

void TestPairingPreview::placeLine_data() {
    QTest::addColumn<bool>("autoPrepareFbs");
    QTest::addColumn<QJsonValue>("fiasId");
    QTest::addColumn<QJsonValue>("kpp");
    QTest::addColumn<QString>("ending");
    const QJsonValue absent(QJsonValue::Undefined);
    const QString lastFunction = QStringLiteral("✓ Продление СУЗ");
    QTest::newRow("neither") << true << absent << absent
                             << lastFunction + QStringLiteral("\nМесто выбытия: ");
    QTest::newRow("null both") << true << QJsonValue(QJsonValue::Null)
                               << QJsonValue(QJsonValue::Null)
                               << lastFunction + QStringLiteral("\nМесто выбытия: ");
    QTest::newRow("only kpp") << true << absent << QJsonValue("770101001")
                              << lastFunction + QStringLiteral("\nМесто выбытия:  · КПП 770101001");
    QTest::newRow("only fiasId") << true << QJsonValue("0c5b2444") << absent
                                 << lastFunction + QStringLiteral("\nМесто выбытия: 0c5b2444");
    QTest::newRow("both") << true << QJsonValue("0c5b2444") << QJsonValue("770101001")
                          << lastFunction +
                                 QStringLiteral("\nМесто выбытия: 0c5b2444 · КПП 770101001");
    QTest::newRow("not preparing hides both")
        << false << QJsonValue("0c5b2444") << QJsonValue("770101001") << lastFunction;
}

void TestPairingPreview::placeLine() {
    QFETCH(bool, autoPrepareFbs);
    QFETCH(QJsonValue, fiasId);
    QFETCH(QJsonValue, kpp);
    QFETCH(QString, ending);
    QJsonObject object = withSettings(true, true, true, autoPrepareFbs);
    QJsonObject settings = object["settings"].toObject();
    settings.remove("fiasId");
    settings.remove("kpp");
    if (!fiasId.isUndefined())
        settings["fiasId"] = fiasId;
    if (!kpp.isUndefined())
        settings["kpp"] = kpp;
    object["settings"] = settings;
    const QString text = pairingSheetText(preview(object));
    QVERIFY2(text.endsWith(ending), qPrintable(text));
    QCOMPARE(text.count(QStringLiteral("Место выбытия")), autoPrepareFbs ? 1 : 0);
}

QTEST_APPLESS_MAIN(TestPairingPreview)
#include "tst_pairing_preview.moc"
