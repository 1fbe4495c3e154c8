#include "platform/BundleInfo.h"
#include "platform/PortListeners.h"

#include <QTest>

using namespace kestrel;

class TestBundleInfo : public QObject {
    Q_OBJECT

private slots:
    void bundlePathAroundExecutable_data() {
        QTest::addColumn<QString>("executableDir");
        QTest::addColumn<QString>("bundle");
        QTest::newRow("bundle") << "/opt/k/KestrelAgent.app/Contents/MacOS"
                                << "/opt/k/KestrelAgent.app";
        QTest::newRow("trailing slash") << "/opt/My Apps/K.app/Contents/MacOS/"
                                        << "/opt/My Apps/K.app";
        QTest::newRow("not a bundle") << "/usr/bin"
                                      << "/usr/bin";
    }
    void bundlePathAroundExecutable() {
        QFETCH(QString, executableDir);
        QFETCH(QString, bundle);
        QCOMPARE(bundlePathForExecutableDir(executableDir), bundle);
    }

    // Rows of /proc/net/tcp{,6} as a little-endian kernel writes them; port
    // 43127 is A877, this user is 1000.
    void agentPortListeners_data() {
        QTest::addColumn<QByteArray>("local");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<uint>("uid");
        QTest::addColumn<QString>("foreign"); // null: trusted
        const QString none;
        QTest::newRow("127.0.0.1, ours") << QByteArray("0100007F:A877") << true << 1000u << none;
        QTest::newRow("127.0.0.1") << QByteArray("0100007F:A877") << true << 65534u << "65534";
        QTest::newRow("127.0.0.2") << QByteArray("0200007F:A877") << true << 0u << "0";
        QTest::newRow("0.0.0.0") << QByteArray("00000000:A877") << true << 7u << "7";
        QTest::newRow("192.168.1.5") << QByteArray("0501A8C0:A877") << true << 7u << none;
        QTest::newRow("other port") << QByteArray("0100007F:A878") << true << 7u << none;
        QTest::newRow("connected") << QByteArray("0100007F:A877") << false << 7u << none;
        const QByteArray zero(24, '0');
        QTest::newRow("::1") << zero + "01000000:A877" << true << 7u << "7";
        QTest::newRow("::") << zero + "00000000:A877" << true << 7u << "7";
        QTest::newRow("::ffff:127.0.0.1")
            << QByteArray("0000000000000000FFFF00000100007F:A877") << true << 7u << "7";
        QTest::newRow("fe80::1") << QByteArray("000080FE000000000000000001000000:A877") << true
                                 << 7u << none;
    }
    void agentPortListeners() {
        QFETCH(QByteArray, local);
        QFETCH(bool, listening);
        QFETCH(uint, uid);
        QFETCH(QString, foreign);
        const QByteArray table =
            "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid "
            " timeout inode\n   0: " +
            local + " 00000000:0000 " + (listening ? "0A" : "01") +
            " 00000000:00000000 00:00000000 00000000 " + QByteArray::number(uid) + " 0 1177 1\n";
        PortListeners listeners;
        addProcNetTcpListeners(table, 43127, 1000, listeners);
        QCOMPARE(foreignListener(listeners, false).value_or(QString()), foreign);
        // An answering port with nothing of ours on it is not trusted either.
        QCOMPARE(foreignListener(listeners, true).has_value(), !listeners.own);
    }
};

QTEST_GUILESS_MAIN(TestBundleInfo)
#include "tst_bundleinfo.moc"
