#include "agentclient/HealthStatus.h"
#include "agentclient/PrinterListModel.h"
#include "agentclient/PrinterStatus.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QSize>
#include <QTest>

using namespace kestrel;

namespace {

AgentHealth health(bool ok, const QString& version,
                   std::optional<SigningStatus> signing = std::nullopt) {
    AgentHealth::Fields fields;
    fields.ok = ok;
    fields.version = version;
    fields.architecture = "arm64";
    fields.deviceId = "ABC-1";
    fields.signing = std::move(signing);
    return AgentHealth(std::move(fields));
}

SigningStatus signing(std::optional<QString> code, std::optional<QString> organization) {
    SigningStatus::Fields fields;
    fields.code = std::move(code);
    fields.message = "ключ готов";
    fields.organizationName = std::move(organization);
    return SigningStatus(std::move(fields));
}

const TransportError refused{"QNetworkReply", 1};

} // namespace

using OptInt = std::optional<int>;
using OptError = std::optional<TransportError>;
using OptHealth = std::optional<AgentHealth>;
using OptPrinters = std::optional<PrintersResponse>;
Q_DECLARE_METATYPE(OptInt)
Q_DECLARE_METATYPE(OptError)
Q_DECLARE_METATYPE(OptHealth)
Q_DECLARE_METATYPE(OptPrinters)
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(kestrel::HealthVerdict)

class TestHealthStatus : public QObject {
    Q_OBJECT
private slots:
    void summary_data();
    void summary();
    void logDecision_data();
    void logDecision();
    void verdict_data();
    void verdict();
    void statusTexts();
    void signingLineText();
    void signingButton_data();
    void signingButton();
    void printersOutcomeText_data();
    void printersOutcomeText();
    void printerCells();
    void printerModel();
};

void TestHealthStatus::summary_data() {
    QTest::addColumn<OptInt>("status");
    QTest::addColumn<OptError>("error");
    QTest::addColumn<OptHealth>("decoded");
    QTest::addColumn<QString>("summary");

    QTest::newRow("refused") << OptInt() << OptError(refused) << OptHealth()
                             << "http=0 error=QNetworkReply:1 valid=false version=none";
    QTest::newRow("healthy") << OptInt(200) << OptError() << OptHealth(health(true, "1.0.0"))
                             << "http=200 error=none:0 valid=true version=1.0.0";
    QTest::newRow("500 with a valid body")
        << OptInt(500) << OptError() << OptHealth(health(true, "1.0.0"))
        << "http=500 error=none:0 valid=true version=1.0.0";
    QTest::newRow("ok false keeps the version")
        << OptInt(200) << OptError() << OptHealth(health(false, "0.9"))
        << "http=200 error=none:0 valid=false version=0.9";
    QTest::newRow("undecodable") << OptInt(200) << OptError() << OptHealth()
                                 << "http=200 error=none:0 valid=false version=none";
    QTest::newRow("cut after the headers")
        << OptInt(200) << OptError(TransportError{"QNetworkReply", 5}) << OptHealth()
        << "http=200 error=QNetworkReply:5 valid=false version=none";
    QTest::newRow("negative code")
        << OptInt() << OptError(TransportError{"D", -1004}) << OptHealth()
        << "http=0 error=D:-1004 valid=false version=none";
}

void TestHealthStatus::summary() {
    QFETCH(OptInt, status);
    QFETCH(OptError, error);
    QFETCH(OptHealth, decoded);
    QFETCH(QString, summary);
    QCOMPARE(healthSummary(status, error, decoded), summary);
}

void TestHealthStatus::logDecision_data() {
    QTest::addColumn<std::optional<QString>>("last");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<qint64>("failures");
    QTest::addColumn<bool>("logged");

    const QString s = "http=0 error=QNetworkReply:1 valid=false version=none";
    QTest::newRow("first result") << std::optional<QString>() << s << qint64(1) << true;
    QTest::newRow("first result, healthy") << std::optional<QString>() << s << qint64(0) << true;
    QTest::newRow("same, healthy") << std::optional<QString>(s) << s << qint64(0) << false;
    QTest::newRow("changed") << std::optional<QString>(s + "x") << s << qint64(3) << true;
    for (qint64 failures : {2, 9, 11, 19})
        QTest::addRow("same, failure %lld", failures)
            << std::optional<QString>(s) << s << failures << false;
    for (qint64 failures : {10, 20, 30})
        QTest::addRow("same, failure %lld", failures)
            << std::optional<QString>(s) << s << failures << true;
}

void TestHealthStatus::logDecision() {
    QFETCH(std::optional<QString>, last);
    QFETCH(QString, summary);
    QFETCH(qint64, failures);
    QFETCH(bool, logged);
    QCOMPARE(shouldLogHealth(last, summary, failures), logged);
}

void TestHealthStatus::verdict_data() {
    QTest::addColumn<OptInt>("status");
    QTest::addColumn<OptHealth>("decoded");
    QTest::addColumn<HealthVerdict>("verdict");

    QTest::newRow("ready") << OptInt(200) << OptHealth(health(true, "1.0.0"))
                           << HealthVerdict::Ready;
    QTest::newRow("newer agent") << OptInt(200) << OptHealth(health(true, "2.0.0"))
                                 << HealthVerdict::ForeignVersion;
    QTest::newRow("version differs by a space")
        << OptInt(200) << OptHealth(health(true, "1.0.0 ")) << HealthVerdict::ForeignVersion;
    QTest::newRow("ok false") << OptInt(200) << OptHealth(health(false, "1.0.0"))
                              << HealthVerdict::NotHealthy;
    QTest::newRow("500") << OptInt(500) << OptHealth(health(true, "1.0.0"))
                         << HealthVerdict::NotHealthy;
    QTest::newRow("201") << OptInt(201) << OptHealth(health(true, "1.0.0"))
                         << HealthVerdict::NotHealthy;
    QTest::newRow("204") << OptInt(204) << OptHealth(health(true, "1.0.0"))
                         << HealthVerdict::NotHealthy;
    QTest::newRow("foreign version, 500")
        << OptInt(500) << OptHealth(health(true, "2.0.0")) << HealthVerdict::NotHealthy;
    QTest::newRow("no reply") << OptInt() << OptHealth() << HealthVerdict::NotHealthy;
    QTest::newRow("undecodable") << OptInt(200) << OptHealth() << HealthVerdict::NotHealthy;
}

void TestHealthStatus::verdict() {
    QFETCH(OptInt, status);
    QFETCH(OptHealth, decoded);
    QFETCH(HealthVerdict, verdict);
    QCOMPARE(decideHealth(status, decoded, "1.0.0"), verdict);
}

void TestHealthStatus::statusTexts() {
    QCOMPARE(readyDetails(health(true, "1.0.0")), "Версия 1.0.0 · arm64 · устройство ABC-1");
    QCOMPARE(foreignVersionTitle("2.0.0"), "Найдена старая служба версии 2.0.0");
}

void TestHealthStatus::signingLineText() {
    QCOMPARE(signingLine(signing(std::nullopt, "ООО Ромашка")),
             "Подпись: ключ готов · ООО Ромашка");
    QCOMPARE(signingLine(signing(std::nullopt, std::nullopt)), "Подпись: ключ готов");
    QCOMPARE(signingLine(signing(std::nullopt, "")), "Подпись: ключ готов · ");

    QVERIFY(needsCredentialAccess(signing("keychain_locked", std::nullopt)));
    QVERIFY(!needsCredentialAccess(signing("KEYCHAIN_LOCKED", std::nullopt)));
    QVERIFY(!needsCredentialAccess(signing("other", std::nullopt)));
    QVERIFY(!needsCredentialAccess(signing(std::nullopt, std::nullopt)));
}

void TestHealthStatus::signingButton_data() {
    QTest::addColumn<bool>("inFlight");
    QTest::addColumn<bool>("locked");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("unlock running, locked") << true << true << "Ожидаем разрешение…" << false;
    QTest::newRow("unlock running") << true << false << "Ожидаем разрешение…" << false;
    QTest::newRow("locked") << false << true << "Разрешить доступ" << true;
    QTest::newRow("settings") << false << false << "Настроить в кабинете" << true;
}

void TestHealthStatus::signingButton() {
    QFETCH(bool, inFlight);
    QFETCH(bool, locked);
    QFETCH(QString, title);
    QFETCH(bool, enabled);
    QCOMPARE(signingButtonState(inFlight, locked), (SigningButtonState{title, enabled}));
}

void TestHealthStatus::printersOutcomeText_data() {
    QTest::addColumn<OptInt>("status");
    QTest::addColumn<OptError>("error");
    QTest::addColumn<OptPrinters>("decoded");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<bool>("replaces");

    const std::vector<Printer> two{Printer("A", true), Printer("B", false)};
    QTest::newRow("two printers") << OptInt(200) << OptError() << OptPrinters({true, two})
                                  << "http=200 error=none:0 valid=true count=2" << true;
    QTest::newRow("empty list") << OptInt(200) << OptError() << OptPrinters({true, {}})
                                << "http=200 error=none:0 valid=true count=0" << true;
    QTest::newRow("ok false keeps the count")
        << OptInt(200) << OptError() << OptPrinters({false, two})
        << "http=200 error=none:0 valid=false count=2" << false;
    QTest::newRow("500 with a valid body") << OptInt(500) << OptError() << OptPrinters({true, two})
                                           << "http=500 error=none:0 valid=true count=2" << false;
    QTest::newRow("undecodable") << OptInt(200) << OptError() << OptPrinters()
                                 << "http=200 error=none:0 valid=false count=0" << false;
    QTest::newRow("refused") << OptInt() << OptError(refused) << OptPrinters()
                             << "http=0 error=QNetworkReply:1 valid=false count=0" << false;
}

void TestHealthStatus::printersOutcomeText() {
    QFETCH(OptInt, status);
    QFETCH(OptError, error);
    QFETCH(OptPrinters, decoded);
    QFETCH(QString, outcome);
    QFETCH(bool, replaces);
    QCOMPARE(printersOutcome(status, error, decoded), outcome);
    QCOMPARE(shouldReplacePrinters(status, decoded), replaces);
}

void TestHealthStatus::printerCells() {
    QCOMPARE(printerCellText(Printer("HP LaserJet", true)), "HP LaserJet  ·  по умолчанию");
    QCOMPARE(printerCellText(Printer("HP LaserJet", false)), "HP LaserJet");
    QCOMPARE(printerCellText(Printer("", true)), "  ·  по умолчанию");
}

void TestHealthStatus::printerModel() {
    PrinterListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(model.rowCount(), 0);

    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    model.setPrinters({Printer("A", true), Printer("B", true), Printer("C", false)});
    QCOMPARE(reset.count(), 1);
    QCOMPARE(model.rowCount(), 3);
    QCOMPARE(model.index(0).data().toString(), "A  ·  по умолчанию");
    QCOMPARE(model.index(1).data().toString(), "B  ·  по умолчанию");
    QCOMPARE(model.index(2).data().toString(), "C");
    QCOMPARE(model.index(2).data(Qt::SizeHintRole).toSize().height(), 38);
    QVERIFY(!model.index(3).data().isValid());

    model.setPrinters({});
    QCOMPARE(reset.count(), 2);
    QCOMPARE(model.rowCount(), 0);
}

QTEST_GUILESS_MAIN(TestHealthStatus)
#include "tst_healthstatus.moc"
