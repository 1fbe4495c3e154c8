#include "agentclient/HealthStatus.h"
#include "agentclient/PrinterListModel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QSize>
#include <QTest>

using namespace kestrel;

namespace {

AgentHealth health(bool ok, const QString& version) {
    AgentHealth::Fields fields;
    fields.ok = ok;
    fields.version = version;
    fields.architecture = "arm64";
    fields.deviceId = "ABC-1";
    return AgentHealth(std::move(fields));
}

} // namespace

using OptInt = std::optional<int>;
using OptHealth = std::optional<AgentHealth>;
Q_DECLARE_METATYPE(OptInt)
Q_DECLARE_METATYPE(OptHealth)
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(kestrel::HealthVerdict)
Q_DECLARE_METATYPE(std::optional<double>)

class TestHealthStatus : public QObject {
    Q_OBJECT
private slots:
    void logDecision_data();
    void logDecision();
    void verdict_data();
    void verdict();
    void startupPolling_data();
    void startupPolling();
    void printerModel();
};

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

void TestHealthStatus::startupPolling_data() {
    QTest::addColumn<std::optional<int>>("statusCode");
    QTest::addColumn<bool>("running");
    QTest::addColumn<std::optional<double>>("startedAt");
    QTest::addColumn<bool>("again");
    const std::optional<int> none;
    QTest::newRow("refused right after the start") << none << true << std::optional(99.9) << true;
    QTest::newRow("refused late in the window") << none << true << std::optional(98.1) << true;
    QTest::newRow("start-up window over") << none << true << std::optional(98.0) << false;
    QTest::newRow("agent not running") << none << false << std::optional(99.9) << false;
    QTest::newRow("never started by us") << none << true << std::optional<double>() << false;
    QTest::newRow("it answered, badly")
        << std::optional(500) << true << std::optional(99.9) << false;
}

void TestHealthStatus::startupPolling() {
    QFETCH(std::optional<int>, statusCode);
    QFETCH(bool, running);
    QFETCH(std::optional<double>, startedAt);
    QFETCH(bool, again);
    QCOMPARE(shouldPollAgainSoon(statusCode, running, startedAt, 100.0), again);
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
