#include "platform/BundleInfo.h"
#include "platform/PortListeners.h"

#include <QTest>

using namespace kestrel;

class TestBundleInfo : public QObject {
    Q_OBJECT

private slots:
    void bundlePathAroundExecutable() {
        for (const auto& [executableDir, bundle] :
             {std::pair{"/opt/k/KestrelAgent.app/Contents/MacOS", "/opt/k/KestrelAgent.app"},
              {"/opt/My Apps/K.app/Contents/MacOS/", "/opt/My Apps/K.app"},
              {"/usr/bin", "/usr/bin"}})
            QCOMPARE(bundlePathForExecutableDir(executableDir), bundle);
    }

    // Rows of /proc/net/tcp{,6} as a little-endian kernel writes them; port
    // 43127 is A877, this user is 1000. A null `foreign` is trusted.
    void agentPortListeners() {
        const QByteArray zero(24, '0');
        using Row = std::tuple<QByteArray, const char*, uint, QString>;
        for (const auto& [local, state, uid, foreign] : std::initializer_list<Row>{
                 {"0100007F:A877", "0A", 1000, {}},
                 {"0100007F:A877", "0A", 65534, "65534"},
                 {"0200007F:A877", "0A", 0, "0"},
                 {"00000000:A877", "0A", 7, "7"},
                 {"0501A8C0:A877", "0A", 7, {}},         // 192.168.1.5
                 {"0100007F:A878", "0A", 7, {}},         // another port
                 {"0100007F:A877", "01", 7, {}},         // connected, not listening
                 {zero + "01000000:A877", "0A", 7, "7"}, // ::1
                 {zero + "00000000:A877", "0A", 7, "7"}, // ::
                 {"0000000000000000FFFF00000100007F:A877", "0A", 7, "7"},
                 {"000080FE000000000000000001000000:A877", "0A", 7, {}}}) { // fe80::1
            const QByteArray table =
                "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   "
                "uid  timeout inode\n   0: " +
                local + " 00000000:0000 " + state + " 00000000:00000000 00:00000000 00000000 " +
                QByteArray::number(uid) + " 0 1177 1\n";
            PortListeners listeners;
            addProcNetTcpListeners(table, 43127, 1000, listeners);
            QVERIFY2(foreignListener(listeners, false).value_or(QString()) == foreign, local);
            // An answering port with nothing of ours on it is not trusted either.
            QCOMPARE(foreignListener(listeners, true).has_value(), !listeners.own);
        }
    }
};

QTEST_GUILESS_MAIN(TestBundleInfo)
#include "tst_bundleinfo.moc"
