#include "agentclient/AgentHealth.h"
#include "agentclient/PrintersResponse.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace kestrel;

namespace {

QJsonObject signingObject() {
    return {{"configured", true},      {"enabled", false},          {"code", "keychain_locked"},
            {"message", "нужен ключ"}, {"organizationName", "ООО"}, {"autoSign", true},
            {"renewTrueApi", false},   {"renewSuz", false},         {"autoPrepareFbs", true}};
}

QJsonObject healthObject() {
    return {{"ok", true},
            {"name", "agent"},
            {"version", "1.2.3"},
            {"platform", "linux"},
            {"architecture", "arm64"},
            {"deviceId", "D-1"},
            {"formats", QJsonArray{"pdf"}},
            {"signing", signingObject()}};
}

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject with(QJsonObject object, const QString& key, const QJsonValue& value) {
    object.insert(key, value);
    return object;
}

QJsonObject without(QJsonObject object, const QString& key) {
    object.remove(key);
    return object;
}

QJsonObject withSigning(const QJsonObject& signing) {
    return with(healthObject(), "signing", signing);
}

QJsonObject printersObject(const QJsonArray& printers) {
    return {{"ok", true}, {"printers", printers}};
}

QJsonObject printer(const QString& name, bool isDefault) {
    return {{"name", name}, {"isDefault", isDefault}};
}

} // namespace

class TestAgentRecords : public QObject {
    Q_OBJECT
private slots:
    void healthDecoding_data();
    void healthDecoding();
    void healthFields();
    void signingOptionalsAbsent();
    void printersDecoding_data();
    void printersDecoding();
    void printersFields();
};

void TestAgentRecords::healthDecoding_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("decodes");

    QTest::newRow("complete") << compact(healthObject()) << true;
    QTest::newRow("ok false still decodes") << compact(with(healthObject(), "ok", false)) << true;
    QTest::newRow("extra members at both levels")
        << compact(with(withSigning(with(signingObject(), "future", 1)), "future", "x")) << true;
    QTest::newRow("formats empty")
        << compact(with(healthObject(), "formats", QJsonArray{})) << true;
    QTest::newRow("empty strings") << compact(with(healthObject(), "deviceId", "")) << true;
    QTest::newRow("signing null") << compact(with(healthObject(), "signing", QJsonValue::Null))
                                  << true;
    QTest::newRow("signing absent") << compact(without(healthObject(), "signing")) << true;

    for (const char* key :
         {"ok", "name", "version", "platform", "architecture", "deviceId", "formats"}) {
        QTest::addRow("missing %s", key) << compact(without(healthObject(), key)) << false;
        QTest::addRow("null %s", key)
            << compact(with(healthObject(), key, QJsonValue::Null)) << false;
    }
    QTest::newRow("ok as 1") << compact(with(healthObject(), "ok", 1)) << false;
    QTest::newRow("ok as string") << compact(with(healthObject(), "ok", "true")) << false;
    QTest::newRow("version as number") << compact(with(healthObject(), "version", 1.2)) << false;
    QTest::newRow("deviceId as bool") << compact(with(healthObject(), "deviceId", true)) << false;
    QTest::newRow("formats as string") << compact(with(healthObject(), "formats", "pdf")) << false;
    QTest::newRow("formats with a number")
        << compact(with(healthObject(), "formats", QJsonArray{"pdf", 1})) << false;
    QTest::newRow("signing as string") << compact(with(healthObject(), "signing", "ok")) << false;
    QTest::newRow("signing as array")
        << compact(with(healthObject(), "signing", QJsonArray{})) << false;

    for (const char* key : {"configured", "enabled", "message"}) {
        QTest::addRow("signing missing %s", key)
            << compact(withSigning(without(signingObject(), key))) << false;
        QTest::addRow("signing null %s", key)
            << compact(withSigning(with(signingObject(), key, QJsonValue::Null))) << false;
    }
    for (const char* key :
         {"code", "organizationName", "autoSign", "renewTrueApi", "renewSuz", "autoPrepareFbs"}) {
        QTest::addRow("signing without optional %s", key)
            << compact(withSigning(without(signingObject(), key))) << true;
        QTest::addRow("signing null optional %s", key)
            << compact(withSigning(with(signingObject(), key, QJsonValue::Null))) << true;
    }
    QTest::newRow("signing enabled as 1")
        << compact(withSigning(with(signingObject(), "enabled", 1))) << false;
    QTest::newRow("signing message as number")
        << compact(withSigning(with(signingObject(), "message", 7))) << false;
    QTest::newRow("signing code as number")
        << compact(withSigning(with(signingObject(), "code", 5))) << false;
    QTest::newRow("signing organizationName as bool")
        << compact(withSigning(with(signingObject(), "organizationName", false))) << false;
    QTest::newRow("signing autoSign as string")
        << compact(withSigning(with(signingObject(), "autoSign", "yes"))) << false;
    QTest::newRow("signing renewSuz as 0")
        << compact(withSigning(with(signingObject(), "renewSuz", 0))) << false;

    QTest::newRow("array body") << QByteArray("[]") << false;
    QTest::newRow("string body") << QByteArray("\"ok\"") << false;
    QTest::newRow("null body") << QByteArray("null") << false;
    QTest::newRow("empty body") << QByteArray() << false;
    QTest::newRow("not JSON") << QByteArray("<html>ok</html>") << false;
    QTest::newRow("cut short") << compact(healthObject()).chopped(1) << false;
    QTest::newRow("trailing garbage") << compact(healthObject()) + "x" << false;
    QTest::newRow("key case differs")
        << compact(with(without(healthObject(), "deviceId"), "deviceID", "D-1")) << false;
}

void TestAgentRecords::healthDecoding() {
    QFETCH(QByteArray, body);
    QFETCH(bool, decodes);
    QCOMPARE(AgentHealth::fromBody(body).has_value(), decodes);
}

void TestAgentRecords::healthFields() {
    const std::optional<AgentHealth> health = AgentHealth::fromBody(compact(healthObject()));
    QVERIFY(health);
    QCOMPARE(health->ok(), true);
    QCOMPARE(health->name(), "agent");
    QCOMPARE(health->version(), "1.2.3");
    QCOMPARE(health->platform(), "linux");
    QCOMPARE(health->architecture(), "arm64");
    QCOMPARE(health->deviceId(), "D-1");
    QCOMPARE(health->formats(), QStringList{"pdf"});
    QVERIFY(health->signing());
    const SigningStatus& signing = *health->signing();
    QCOMPARE(signing.configured(), true);
    QCOMPARE(signing.enabled(), false);
    QCOMPARE(signing.code(), "keychain_locked");
    QCOMPARE(signing.message(), "нужен ключ");
    QCOMPARE(signing.organizationName(), "ООО");
    QCOMPARE(signing.autoSign(), true);
    QCOMPARE(signing.renewTrueApi(), false);
    QCOMPARE(signing.renewSuz(), false);
    QCOMPARE(signing.autoPrepareFbs(), true);

    const auto noSigning = AgentHealth::fromBody(compact(without(healthObject(), "signing")));
    QVERIFY(noSigning);
    QVERIFY(!noSigning->signing());
}

void TestAgentRecords::signingOptionalsAbsent() {
    QJsonObject signing = signingObject();
    for (const char* key : {"code", "organizationName", "autoSign"})
        signing.remove(key);
    signing.insert("renewSuz", QJsonValue::Null);
    const auto health = AgentHealth::fromBody(compact(withSigning(signing)));
    QVERIFY(health && health->signing());
    QCOMPARE(health->signing()->code(), std::nullopt);
    QCOMPARE(health->signing()->organizationName(), std::nullopt);
    QCOMPARE(health->signing()->autoSign(), std::nullopt);
    QCOMPARE(health->signing()->renewSuz(), std::nullopt);
}

void TestAgentRecords::printersDecoding_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("decodes");

    const QJsonArray two{printer("A", true), printer("B", false)};
    QTest::newRow("two printers") << compact(printersObject(two)) << true;
    QTest::newRow("empty list") << compact(printersObject({})) << true;
    QTest::newRow("ok false") << compact(with(printersObject(two), "ok", false)) << true;
    QTest::newRow("extra members")
        << compact(printersObject({with(printer("A", true), "uri", "ipp://a")})) << true;

    QTest::newRow("missing ok") << compact(without(printersObject(two), "ok")) << false;
    QTest::newRow("missing printers") << compact(without(printersObject(two), "printers")) << false;
    QTest::newRow("null printers")
        << compact(with(printersObject(two), "printers", QJsonValue::Null)) << false;
    QTest::newRow("ok as 1") << compact(with(printersObject(two), "ok", 1)) << false;
    QTest::newRow("printers as object")
        << compact(with(printersObject(two), "printers", printer("A", true))) << false;
    QTest::newRow("one printer without isDefault")
        << compact(printersObject({printer("A", true), without(printer("B", false), "isDefault")}))
        << false;
    QTest::newRow("one printer without name")
        << compact(printersObject({without(printer("A", true), "name"), printer("B", false)}))
        << false;
    QTest::newRow("isDefault as 0")
        << compact(printersObject({with(printer("A", true), "isDefault", 0)})) << false;
    QTest::newRow("name as number")
        << compact(printersObject({with(printer("A", true), "name", 3)})) << false;
    QTest::newRow("name null") << compact(printersObject(
                                      {with(printer("A", true), "name", QJsonValue::Null)}))
                               << false;
    QTest::newRow("element not an object")
        << compact(printersObject({printer("A", true), "B"})) << false;
    QTest::newRow("array body") << QByteArray("[{\"name\":\"A\",\"isDefault\":true}]") << false;
    QTest::newRow("empty body") << QByteArray() << false;
}

void TestAgentRecords::printersDecoding() {
    QFETCH(QByteArray, body);
    QFETCH(bool, decodes);
    QCOMPARE(PrintersResponse::fromBody(body).has_value(), decodes);
}

void TestAgentRecords::printersFields() {
    const auto response = PrintersResponse::fromBody(compact(
        with(printersObject({printer("Второй", false), printer("Первый", true)}), "ok", false)));
    QVERIFY(response);
    QCOMPARE(response->ok(), false);
    const std::vector<Printer> expected{Printer("Второй", false), Printer("Первый", true)};
    QVERIFY(response->printers() == expected);
}

QTEST_GUILESS_MAIN(TestAgentRecords)
#include "tst_agentrecords.moc"
