// Request handling, state and version reading of the reference agent, called
// directly without a network.
#include "AgentCore.h"
#include "BundleVersion.h"
#include "DataStore.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <map>

using namespace kestrel::agent;
namespace fs = std::filesystem;

Q_DECLARE_METATYPE(std::optional<std::string>)
Q_DECLARE_METATYPE(std::optional<std::vector<kestrel::agent::Printer>>)

namespace {

const std::string secret =
    "0F3C2A9E-1B7D-4C55-9A3E-6D2B8C1F4E70A1B2C3D4-E5F6-4711-8899-AABBCCDDEEFF";
const std::string goodToken(64, 'a');

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

QJsonObject jsonObject(const std::string& body) {
    QJsonParseError error{};
    const auto document = QJsonDocument::fromJson(QByteArray::fromStdString(body), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {};
    return document.object();
}

Request request(const std::string& method, const std::string& path, Headers headers = {},
                std::string body = {}) {
    if (headers.find("Host") == headers.end())
        headers.emplace("Host", "localhost:43127");
    return {method, path, std::move(headers), std::move(body)};
}

Request appRequest(const std::string& path, const std::string& body) {
    return request("POST", path,
                   {{"Host", "127.0.0.1:43127"},
                    {"X-Kestrel-App", secret},
                    {"Content-Type", "application/json"}},
                   body);
}

std::string tokenBody(const std::string& token) {
    return R"({"pairingToken":")" + token + "\"}";
}

// The member is absent, null, or of the given type: what an optional member
// of the application's records may be.
bool optionalOfType(const QJsonObject& object, const QString& key, QJsonValue::Type type) {
    return !object.contains(key) || object.value(key).isNull() || object.value(key).type() == type;
}

} // namespace

class TestAgentCore : public QObject {
    Q_OBJECT

private slots:
    void init();

    void loopbackHost_data();
    void loopbackHost();
    void pairingToken_data();
    void pairingToken();
    void secretComparison_data();
    void secretComparison();

    void routing_data();
    void routing();
    void requestsWithoutConfiguredSecretAreRefused_data();
    void requestsWithoutConfiguredSecretAreRefused();

    void requestLogLeavesOutRepeatedPolls();

    void healthSurvivesAVersionThatIsNotUtf8();
    void previewDecodesAsPairingPreview();
    void pairingAndLockDriveTheSigningRecord();
    void printers_data();
    void printers();

    void dataFolder_data();
    void dataFolder();
    void deviceIdIsCreatedOnceAndKept();
    void damagedDeviceIdIsReplaced();
    void deviceIdWithoutWritableFolder();
    void pairingSurvivesANewStoreAndLeavesNoTemporaryFiles();
    void damagedPairingMeansNotPaired();

    void infoPlistVersion_data();
    void infoPlistVersion();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DataStore> m_store;
    std::optional<std::vector<Printer>> m_printers;

    Agent makeAgent(std::optional<std::string> appSecret = secret,
                    Identity identity = {"9.8.7", "linux", "x86_64"}) {
        return Agent(
            std::move(identity), *m_store, [this] { return m_printers; }, std::move(appSecret));
    }
    fs::path folder() const { return fs::path(m_dir->path().toStdString()) / "KestrelAgent"; }
};

void TestAgentCore::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<DataStore>(folder());
    m_printers.reset();
}

void TestAgentCore::loopbackHost_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("localhost") << "localhost" << true;
    QTest::newRow("localhost with port") << "localhost:43127" << true;
    QTest::newRow("upper case") << "LocalHost:43127" << true;
    QTest::newRow("IPv4") << "127.0.0.1" << true;
    QTest::newRow("IPv4 with port") << "127.0.0.1:43127" << true;
    QTest::newRow("IPv6") << "[::1]" << true;
    QTest::newRow("IPv6 with port") << "[::1]:43127" << true;
    QTest::newRow("foreign name") << "evil.example" << false;
    QTest::newRow("foreign name with port") << "evil.example:43127" << false;
    QTest::newRow("localhost as label") << "localhost.evil.example" << false;
    QTest::newRow("IPv4 as label") << "127.0.0.1.evil.example" << false;
    QTest::newRow("suffix after localhost") << "localhostx" << false;
    QTest::newRow("other loopback address") << "127.0.0.2" << false;
    QTest::newRow("other port") << "localhost:8080" << false;
    QTest::newRow("empty port") << "localhost:" << false;
    QTest::newRow("port with letters") << "localhost:4312a" << false;
    QTest::newRow("overlong port") << "localhost:043127" << false;
    QTest::newRow("IPv6 without brackets") << "::1" << false;
    QTest::newRow("IPv6 unclosed") << "[::1" << false;
    QTest::newRow("IPv6 trailing text") << "[::1]x" << false;
    QTest::newRow("user info") << "evil@localhost" << false;
    QTest::newRow("trailing space") << "localhost " << false;
    QTest::newRow("empty") << "" << false;
}

void TestAgentCore::loopbackHost() {
    QFETCH(QString, host);
    QFETCH(bool, accepted);
    QCOMPARE(isLoopbackHost(host.toStdString(), 43127), accepted);
}

void TestAgentCore::pairingToken_data() {
    QTest::addColumn<QString>("token");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("64 letters and digits")
        << "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789ab" << true;
    QTest::newRow("only underscores and hyphens") << QString(32, '_') + QString(32, '-') << true;
    QTest::newRow("63 characters") << QString(63, 'a') << false;
    QTest::newRow("65 characters") << QString(65, 'a') << false;
    QTest::newRow("empty") << QString() << false;
    for (const char c : {'+', '/', '=', '.', ' ', '\n'})
        QTest::addRow("contains 0x%02x", c) << QString(63, 'a') + QChar(c) << false;
    // 32 two-byte letters are 64 bytes, but no token character among them.
    QTest::newRow("non-ASCII letters") << QString(32, QChar(0x0416)) << false;
}

void TestAgentCore::pairingToken() {
    QFETCH(QString, token);
    QFETCH(bool, accepted);
    QCOMPARE(isWellFormedPairingToken(token.toStdString()), accepted);
}

void TestAgentCore::secretComparison_data() {
    QTest::addColumn<QString>("presented");
    QTest::addColumn<bool>("equal");
    QTest::newRow("same") << q(secret) << true;
    QTest::newRow("last character differs") << q(secret.substr(0, 71) + "1") << false;
    QTest::newRow("first character differs") << q("1" + secret.substr(1)) << false;
    QTest::newRow("prefix") << q(secret.substr(0, 36)) << false;
    QTest::newRow("longer") << q(secret + "0") << false;
    QTest::newRow("empty") << QString() << false;
}

void TestAgentCore::secretComparison() {
    QFETCH(QString, presented);
    QFETCH(bool, equal);
    QCOMPARE(constantTimeEquals(presented.toStdString(), secret), equal);
    QCOMPARE(constantTimeEquals(secret, presented.toStdString()), equal);
}

void TestAgentCore::routing_data() {
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("headers"); // "Name: value" each
    QTest::addColumn<QString>("body");
    QTest::addColumn<int>("status");
    const auto row = [](const char* name, const char* method, const char* path,
                        const QStringList& headers, const QString& body, int status) {
        QTest::newRow(name) << method << path << headers << body << status;
    };
    const QString host = "Host: 127.0.0.1:43127";
    const QString key = "X-Kestrel-App: " + q(secret);
    const QString json = "Content-Type: application/json";
    const QString token = q(tokenBody(goodToken));
    const char* resume = "/v1/app/resume";
    const char* preview = "/v1/app/pairing-preview";

    row("health", "GET", "/v1/health", {"Host: localhost:43127"}, "", 200);
    row("health HEAD", "HEAD", "/v1/health", {host}, "", 200);
    row("health POST", "POST", "/v1/health", {host}, "", 405);
    row("foreign host", "GET", "/v1/health", {"Host: evil.example"}, "", 403);
    row("no host", "GET", "/v1/health", {}, "", 403);
    row("two hosts", "GET", "/v1/health", {host, "Host: evil.example"}, "", 403);
    row("unknown path", "GET", "/v1/other", {host}, "", 404);
    row("action with slash", "POST", "/v1/app/resume/", {host, key, json}, "{}", 404);
    row("action by GET", "GET", resume, {host, key}, "", 405);
    row("no key", "POST", resume, {host, json}, "{}", 403);
    row("wrong key", "POST", resume, {host, "X-Kestrel-App: wrong", json}, "{}", 403);
    row("key twice", "POST", resume, {host, key, "X-Kestrel-App: wrong", json}, "{}", 403);
    row("key, foreign host", "POST", resume, {"Host: evil.example", key, json}, "{}", 403);
    row("no content type", "POST", resume, {host, key}, "{}", 415);
    row("text content type", "POST", resume, {host, key, "Content-Type: text/plain"}, "{}", 415);
    row("content type with charset", "POST", resume,
        {host, key, "Content-Type: Application/JSON ; charset=utf-8"}, "{}", 200);
    row("resume", "POST", resume, {host, key, json}, "{}", 200);
    row("unlock", "POST", "/v1/app/unlock-credentials", {host, key, json}, "{}", 200);
    row("empty body", "POST", resume, {host, key, json}, "", 400);
    row("not JSON", "POST", resume, {host, key, json}, "{pairingToken:", 400);
    row("array body", "POST", resume, {host, key, json}, "[]", 400);
    row("preview", "POST", preview, {host, key, json}, token, 200);
    row("preview without token", "POST", preview, {host, key, json}, "{}", 400);
    row("preview short token", "POST", preview, {host, key, json},
        q(tokenBody(std::string(63, 'a'))), 400);
    row("preview numeric token", "POST", preview, {host, key, json}, R"({"pairingToken":1})", 400);
    row("confirm", "POST", "/v1/app/pairing-confirm", {host, key, json}, token, 200);
}

void TestAgentCore::routing() {
    QFETCH(QString, method);
    QFETCH(QString, path);
    QFETCH(QStringList, headers);
    QFETCH(QString, body);
    QFETCH(int, status);

    Request req{method.toStdString(), path.toStdString(), {}, body.toStdString()};
    for (const auto& header : headers) {
        const auto colon = header.indexOf(':');
        req.headers.emplace(header.left(colon).toStdString(),
                            header.mid(colon + 1).trimmed().toStdString());
    }
    const Response response = makeAgent().handle(req);
    QCOMPARE(response.status, status);
    const QJsonObject reply = jsonObject(response.body);
    QVERIFY2(!reply.isEmpty(), response.body.c_str());
    if (status != 200) {
        QVERIFY(reply.value("error").isString());
        QVERIFY(!reply.value("error").toString().isEmpty());
    }
    // Nothing the caller sent may come back, least of all the key or a token.
    QVERIFY(response.body.find(secret) == std::string::npos);
    QVERIFY(response.body.find(goodToken) == std::string::npos);
    if (status == 405) {
        QCOMPARE(response.headers.size(), std::size_t(1));
        QCOMPARE(q(response.headers.front().first), "Allow");
    }
}

void TestAgentCore::requestsWithoutConfiguredSecretAreRefused_data() {
    QTest::addColumn<std::optional<std::string>>("configured");
    QTest::addColumn<QString>("presented");
    QTest::newRow("none configured") << std::optional<std::string>() << "anything";
    // An empty variable must not make an empty header the key.
    QTest::newRow("empty configured, empty presented") << std::optional<std::string>("") << "";
}

void TestAgentCore::requestsWithoutConfiguredSecretAreRefused() {
    QFETCH(std::optional<std::string>, configured);
    QFETCH(QString, presented);
    const Agent agent = makeAgent(configured);
    for (const char* path : {"/v1/app/pairing-preview", "/v1/app/pairing-confirm",
                             "/v1/app/unlock-credentials", "/v1/app/resume"}) {
        Request req = appRequest(path, tokenBody(goodToken));
        req.headers.erase("X-Kestrel-App");
        req.headers.emplace("X-Kestrel-App", presented.toStdString());
        QCOMPARE(agent.handle(req).status, 403);
    }
    QVERIFY(!m_store->pairing());
}

void TestAgentCore::requestLogLeavesOutRepeatedPolls() {
    struct Step {
        const char* method;
        std::string path;
        int status;
        const char* line; // nullptr: not written
    };
    const std::vector<Step> steps = {
        {"GET", "/v1/health", 200, "request method=GET path=/v1/health status=200"},
        {"GET", "/v1/printers", 200, "request method=GET path=/v1/printers status=200"},
        {"GET", "/v1/health", 200, nullptr},
        {"GET", "/v1/printers", 200, nullptr},
        {"GET", "/v1/health", 200, nullptr},
        {"POST", "/v1/app/resume", 200, "request method=POST path=/v1/app/resume status=200"},
        {"POST", "/v1/app/resume", 200, "request method=POST path=/v1/app/resume status=200"},
        {"GET", "/v1/health", 403,
         "request method=GET path=/v1/health status=403 repeats_not_logged=2"},
        {"GET", "/v1/health", 200, "request method=GET path=/v1/health status=200"},
        {"HEAD", "/v1/health", 200, "request method=HEAD path=/v1/health status=200"},
        {"GET", "/v1/printers", 500,
         "request method=GET path=/v1/printers status=500 repeats_not_logged=1"},
        {"GET", "/v1/x\nforged line", 404, "request method=GET path=<other> status=404"},
        {"GET", "/v1/x\nforged line", 404, "request method=GET path=<other> status=404"},
        {"GET", "/v1/app/" + goodToken, 404, "request method=GET path=<other> status=404"},
        {"G\nET", "/v1/health", 200, "request method=<other> path=/v1/health status=200"},
    };
    RequestLog log;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto line = log.line(steps[i].method, steps[i].path, steps[i].status);
        const QByteArray where = QByteArray::number(qulonglong(i));
        QVERIFY2(line.has_value() == (steps[i].line != nullptr), where);
        if (line)
            QCOMPARE(q(*line), QString::fromUtf8(steps[i].line));
    }
}

void TestAgentCore::healthSurvivesAVersionThatIsNotUtf8() {
    const Agent agent = makeAgent(secret, {"1.0\xff", "linux", "x86_64"});
    const Response response = agent.handle(request("GET", "/v1/health"));
    QCOMPARE(response.status, 200);
    QVERIFY(jsonObject(response.body).value("version").isString());
}

void TestAgentCore::previewDecodesAsPairingPreview() {
    const Response response =
        makeAgent().handle(appRequest("/v1/app/pairing-preview", tokenBody(goodToken)));
    QCOMPARE(response.status, 200);
    const QJsonObject preview = jsonObject(response.body);
    for (const char* key : {"organizationName", "inn", "environment", "certificateThumbprint",
                            "certificateSubject", "certificateValidTo"})
        QVERIFY2(preview.value(key).isString(), key);
    QVERIFY(preview.value("organizationName").toString().contains("Демонстрация"));
    QVERIFY(preview.value("environment") != QJsonValue("production"));
    QVERIFY(preview.value("certificateThumbprint").toString().size() >= 8);
    QVERIFY(preview.value("settings").isObject());
    const QJsonObject settings = preview.value("settings").toObject();
    for (const char* key : {"autoSign", "renewTrueApi", "renewSuz", "autoPrepareFbs"})
        QVERIFY2(settings.value(key).isBool(), key);
    QVERIFY(optionalOfType(settings, "fiasId", QJsonValue::String));
    QVERIFY(optionalOfType(settings, "kpp", QJsonValue::String));
    // A preview shows; it does not pair.
    QVERIFY(!m_store->pairing());
}

void TestAgentCore::pairingAndLockDriveTheSigningRecord() {
    const Agent agent = makeAgent();
    const auto signing = [&] {
        return jsonObject(agent.handle(request("GET", "/v1/health")).body)
            .value("signing")
            .toObject();
    };
    const QJsonObject unpaired = signing();
    QCOMPARE(unpaired.value("configured"), QJsonValue(false));
    QCOMPARE(unpaired.value("enabled"), QJsonValue(false));
    QVERIFY(unpaired.value("message").isString());
    QVERIFY(unpaired.value("code") != QJsonValue("keychain_locked"));
    QVERIFY(!unpaired.contains("organizationName"));

    const QString organization =
        jsonObject(agent.handle(appRequest("/v1/app/pairing-preview", tokenBody(goodToken))).body)
            .value("organizationName")
            .toString();

    QCOMPARE(agent.handle(appRequest("/v1/app/pairing-confirm", tokenBody(goodToken))).status, 200);
    QJsonObject paired = signing();
    QCOMPARE(paired.value("configured"), QJsonValue(true));
    QCOMPARE(paired.value("enabled"), QJsonValue(true));
    QCOMPARE(paired.value("organizationName"), QJsonValue(organization));
    QVERIFY(optionalOfType(paired, "code", QJsonValue::String));
    QVERIFY(paired.value("code") != QJsonValue("keychain_locked"));
    for (const char* key : {"autoSign", "renewTrueApi", "renewSuz", "autoPrepareFbs"})
        QVERIFY2(optionalOfType(paired, key, QJsonValue::Bool), key);

    std::ofstream(folder() / DataStore::lockFlagFile) << "";
    const QJsonObject locked = signing();
    QCOMPARE(locked.value("code"), QJsonValue("keychain_locked"));
    QCOMPARE(locked.value("configured"), QJsonValue(true));
    QCOMPARE(locked.value("enabled"), QJsonValue(false));
    QVERIFY(locked.value("message").isString());

    // Resuming is not unlocking.
    QCOMPARE(agent.handle(appRequest("/v1/app/resume", "{}")).status, 200);
    QCOMPARE(signing().value("code"), QJsonValue("keychain_locked"));

    QCOMPARE(agent.handle(appRequest("/v1/app/unlock-credentials", "{}")).status, 200);
    QVERIFY(!fs::exists(folder() / DataStore::lockFlagFile));
    QCOMPARE(signing(), paired);
}

void TestAgentCore::printers_data() {
    using List = std::optional<std::vector<Printer>>;
    QTest::addColumn<List>("source");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("cannot ask") << List() << QByteArray(R"({"ok":false,"printers":[]})");
    QTest::newRow("none") << List(std::vector<Printer>{})
                          << QByteArray(R"({"ok":true,"printers":[]})");
    QTest::newRow("two, second default")
        << List(std::vector<Printer>{{"Office", false}, {"Склад \"Б\"", true}})
        << QByteArray(R"({"ok":true,"printers":[{"name":"Office","isDefault":false},)"
                      R"({"name":"Склад \"Б\"","isDefault":true}]})");
}

void TestAgentCore::printers() {
    using List = std::optional<std::vector<Printer>>;
    QFETCH(List, source);
    QFETCH(QByteArray, expected);
    m_printers = source;
    const Response response = makeAgent().handle(request("GET", "/v1/printers"));
    QCOMPARE(response.status, 200);
    QCOMPARE(jsonObject(response.body), QJsonDocument::fromJson(expected).object());
}

void TestAgentCore::dataFolder_data() {
    QTest::addColumn<QString>("home");
    QTest::addColumn<QString>("xdgDataHome");
    QTest::addColumn<bool>("macos");
    QTest::addColumn<QString>("expected");
    QTest::newRow("XDG_DATA_HOME") << "/home/u"
                                   << "/data" << false << "/data/KestrelAgent";
    QTest::newRow("no XDG_DATA_HOME")
        << "/home/u" << QString() << false << "/home/u/.local/share/KestrelAgent";
    QTest::newRow("empty XDG_DATA_HOME") << "/home/u"
                                         << "" << false << "/home/u/.local/share/KestrelAgent";
    QTest::newRow("relative XDG_DATA_HOME")
        << "/home/u"
        << "data" << false << "/home/u/.local/share/KestrelAgent";
    QTest::newRow("no HOME") << QString() << QString() << false
                             << "/from/passwd/.local/share/KestrelAgent";
    QTest::newRow("macOS ignores XDG")
        << "/Users/u"
        << "/data" << true << "/Users/u/Library/Application Support/KestrelAgent";
}

void TestAgentCore::dataFolder() {
    QFETCH(QString, home);
    QFETCH(QString, xdgDataHome);
    QFETCH(bool, macos);
    QFETCH(QString, expected);
    std::map<std::string, std::string> variables;
    if (!home.isNull())
        variables["HOME"] = home.toStdString();
    if (!xdgDataHome.isNull())
        variables["XDG_DATA_HOME"] = xdgDataHome.toStdString();
    const auto lookup = [&](const char* name) -> std::optional<std::string> {
        const auto it = variables.find(name);
        return it == variables.end() ? std::nullopt : std::optional(it->second);
    };
    QCOMPARE(q(dataDirectory(lookup, "/from/passwd", macos).string()), expected);
}

void TestAgentCore::deviceIdIsCreatedOnceAndKept() {
    const std::string id = m_store->deviceId();
    QVERIFY(isUuid(id));
    QVERIFY(m_store->deviceIdPersistent());
    QFile file(QString::fromStdString((folder() / DataStore::deviceIdFile).string()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll().trimmed()), q(id));
    QCOMPARE(file.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

    QCOMPARE(DataStore(folder()).deviceId(), id);
}

void TestAgentCore::damagedDeviceIdIsReplaced() {
    const fs::path file = folder() / DataStore::deviceIdFile;
    std::ofstream(file, std::ios::trunc) << "not-an-identifier\n";
    const DataStore store(folder());
    QVERIFY(isUuid(store.deviceId()));
    QVERIFY(store.deviceIdPersistent());
    QCOMPARE(DataStore(folder()).deviceId(), store.deviceId());
}

void TestAgentCore::deviceIdWithoutWritableFolder() {
    // A folder below a regular file cannot be created, whoever runs the test.
    const fs::path blocker = fs::path(m_dir->path().toStdString()) / "blocker";
    std::ofstream(blocker) << "";
    const DataStore store(blocker / "KestrelAgent");
    QVERIFY(isUuid(store.deviceId()));
    QVERIFY(!store.deviceIdPersistent());
}

void TestAgentCore::pairingSurvivesANewStoreAndLeavesNoTemporaryFiles() {
    Pairing pairing;
    pairing.organizationName = "ООО «Тест»";
    pairing.inn = "1234567890";
    pairing.environment = "production";
    pairing.settings.renewSuz = true;
    pairing.settings.kpp = "123456789";
    pairing.pairedAt = "2026-01-02T03:04:05.678Z";
    QVERIFY(m_store->savePairing(pairing));
    pairing.settings.autoSign = true;
    QVERIFY(m_store->savePairing(pairing));

    const auto loaded = DataStore(folder()).pairing();
    QVERIFY(loaded);
    QCOMPARE(q(loaded->organizationName), q(pairing.organizationName));
    QCOMPARE(q(loaded->environment), "production");
    QCOMPARE(loaded->settings.autoSign, true);
    QCOMPARE(loaded->settings.renewSuz, true);
    QCOMPARE(loaded->settings.autoPrepareFbs, false);
    QVERIFY(!loaded->settings.fiasId);
    QCOMPARE(q(loaded->settings.kpp.value_or("")), "123456789");

    QStringList names = QDir(q(folder().string())).entryList(QDir::Files | QDir::Hidden);
    names.sort();
    QCOMPARE(names, (QStringList{"device-id", "pairing.json"}));
}

void TestAgentCore::damagedPairingMeansNotPaired() {
    for (const char* content : {"", "{", "[]", R"({"organizationName":1})"}) {
        std::ofstream(folder() / DataStore::pairingFile, std::ios::trunc) << content;
        QVERIFY2(!m_store->pairing(), content);
        const auto signing = jsonObject(makeAgent().handle(request("GET", "/v1/health")).body)
                                 .value("signing")
                                 .toObject();
        QCOMPARE(signing.value("configured"), QJsonValue(false));
    }
}

void TestAgentCore::infoPlistVersion_data() {
    QTest::addColumn<QByteArray>("plist");
    QTest::addColumn<std::optional<std::string>>("version");
    const QByteArray head = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
)";
    const QByteArray tail = "</dict>\n</plist>\n";
    const auto plist = [&](const QByteArray& members) { return head + members + tail; };
    using V = std::optional<std::string>;

    QTest::newRow("generated")
        << plist("  <key>CFBundleIdentifier</key>\n  <string>ru.example</string>\n"
                 "  <key>LSUIElement</key>\n  <true/>\n"
                 "  <key>CFBundleURLTypes</key>\n  <array><dict><key>CFBundleURLSchemes</key>"
                 "<array><string>kestrel</string></array></dict></array>\n"
                 "  <key>CFBundleShortVersionString</key>\n  <string>1.2.3</string>\n")
        << V("1.2.3");
    QTest::newRow("entities and CDATA")
        << plist("<key>CFBundleShortVersionString</key><string>1.0&amp;&#x42;<![CDATA[<x>]]>"
                 "</string>")
        << V("1.0&B<x>");
    QTest::newRow("comment between key and value")
        << plist("<key>CFBundleShortVersionString</key><!-- v --><string>2.0</string>") << V("2.0");
    QTest::newRow("empty string") << plist("<key>CFBundleShortVersionString</key><string/>")
                                  << V("");
    QTest::newRow("not a string")
        << plist("<key>CFBundleShortVersionString</key><integer>2</integer>") << V();
    QTest::newRow("missing") << plist("<key>CFBundleVersion</key><string>7</string>") << V();
    QTest::newRow("only in a nested dictionary")
        << plist("<key>Other</key><dict><key>CFBundleShortVersionString</key>"
                 "<string>3.0</string></dict>")
        << V();
    QTest::newRow("nested first, top level after")
        << plist("<key>Other</key><dict><key>CFBundleShortVersionString</key>"
                 "<string>3.0</string></dict><key>CFBundleShortVersionString</key>"
                 "<string>4.0</string>")
        << V("4.0");
    QTest::newRow("name as a value, not a key")
        << plist("<key>Names</key><array><string>CFBundleShortVersionString</string>"
                 "<string>5.0</string></array>")
        << V();
    QTest::newRow("cut after the key") << (head + "<key>CFBundleShortVersionString</key>") << V();
    QTest::newRow("unclosed value")
        << (head + "<key>CFBundleShortVersionString</key><string>1.0") << V();
    QTest::newRow("unknown entity")
        << plist("<key>CFBundleShortVersionString</key><string>1&nbsp;0</string>") << V();
    QTest::newRow("binary property list") << QByteArray("bplist00\xd1\x01\x02", 11) << V();
    QTest::newRow("empty") << QByteArray() << V();
}

void TestAgentCore::infoPlistVersion() {
    QFETCH(QByteArray, plist);
    QFETCH(std::optional<std::string>, version);
    const auto found = shortVersionFromInfoPlist(std::string_view(plist.data(), plist.size()));
    QCOMPARE(found.has_value(), version.has_value());
    if (version)
        QCOMPARE(q(*found), q(*version));
}

QTEST_GUILESS_MAIN(TestAgentCore)
#include "test_agent_core.moc"
