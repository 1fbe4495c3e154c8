#include "pairing/PairingLink.h"

#include <QTest>

using namespace kestrel;

namespace {

// Exactly the 64 characters a token may be made of.
const QString token =
    QStringLiteral("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-");

QString link(const QString& value) {
    return QStringLiteral("kestrel://connect?pairingToken=") + value;
}

// The token with its middle character replaced, so only the character differs.
QString withCharacter(const QString& character) {
    QString value = token;
    return value.replace(32, 1, character);
}

} // namespace

class TestPairingLink : public QObject {
    Q_OBJECT
private slots:
    void acceptance_data();
    void acceptance();
};

void TestPairingLink::acceptance_data() {
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<QString>("expected"); // null: refused

    const QString none;
    QTest::newRow("plain") << QStringList{link(token)} << token;
    QTest::newRow("slash path") << QStringList{QStringLiteral("kestrel://connect/?pairingToken=") +
                                               token}
                                << token;
    QTest::newRow("upper-case scheme and host")
        << QStringList{QStringLiteral("KESTREL://CONNECT?pairingToken=") + token} << token;
    QTest::newRow("mixed-case scheme and host")
        << QStringList{QStringLiteral("Kestrel://Connect/?pairingToken=") + token} << token;
    QTest::newRow("only underscores and hyphens")
        << QStringList{link(QStringLiteral("_-").repeated(32))}
        << QStringLiteral("_-").repeated(32);
    QTest::newRow("percent-encoded token characters")
        << QStringList{link(QStringLiteral("%41") + token.mid(1))}
        << QStringLiteral("A") + token.mid(1);

    QTest::newRow("no link") << QStringList{} << none;
    QTest::newRow("two valid links") << QStringList{link(token), link(token)} << none;
    QTest::newRow("unparseable") << QStringList{QStringLiteral("kestrel://conn ect?pairingToken=") +
                                                token}
                                 << none;
    QTest::newRow("relative") << QStringList{QStringLiteral("connect?pairingToken=") + token}
                              << none;
    QTest::newRow("other scheme") << QStringList{QStringLiteral("https://connect?pairingToken=") +
                                                 token}
                                  << none;
    QTest::newRow("no host") << QStringList{QStringLiteral("kestrel:connect?pairingToken=") + token}
                             << none;
    QTest::newRow("empty host") << QStringList{QStringLiteral("kestrel:///?pairingToken=") + token}
                                << none;
    QTest::newRow("other host")
        << QStringList{QStringLiteral("kestrel://connect.example?pairingToken=") + token} << none;
    QTest::newRow("user") << QStringList{QStringLiteral("kestrel://user@connect?pairingToken=") +
                                         token}
                          << none;
    QTest::newRow("empty user") << QStringList{QStringLiteral("kestrel://@connect?pairingToken=") +
                                               token}
                                << none;
    QTest::newRow("password")
        << QStringList{QStringLiteral("kestrel://:secret@connect?pairingToken=") + token} << none;
    QTest::newRow("port") << QStringList{QStringLiteral("kestrel://connect:43127?pairingToken=") +
                                         token}
                          << none;
    QTest::newRow("port zero") << QStringList{QStringLiteral("kestrel://connect:0?pairingToken=") +
                                              token}
                               << none;
    QTest::newRow("fragment") << QStringList{link(token) + QStringLiteral("#top")} << none;
    QTest::newRow("empty fragment") << QStringList{link(token) + QStringLiteral("#")} << none;
    QTest::newRow("longer path")
        << QStringList{QStringLiteral("kestrel://connect/pair?pairingToken=") + token} << none;
    QTest::newRow("two slashes")
        << QStringList{QStringLiteral("kestrel://connect//?pairingToken=") + token} << none;
    QTest::newRow("encoded slash path")
        << QStringList{QStringLiteral("kestrel://connect/%2F?pairingToken=") + token} << none;
    QTest::newRow("no query") << QStringList{QStringLiteral("kestrel://connect")} << none;
    QTest::newRow("empty query") << QStringList{QStringLiteral("kestrel://connect/?")} << none;
    QTest::newRow("second item") << QStringList{link(token) + QStringLiteral("&source=cabinet")}
                                 << none;
    QTest::newRow("second item first")
        << QStringList{QStringLiteral("kestrel://connect?source=cabinet&pairingToken=") + token}
        << none;
    QTest::newRow("token twice") << QStringList{link(token) + QStringLiteral("&pairingToken=") +
                                                token}
                                 << none;
    QTest::newRow("empty second item") << QStringList{link(token) + QStringLiteral("&")} << none;
    QTest::newRow("empty first item")
        << QStringList{QStringLiteral("kestrel://connect?&pairingToken=") + token} << none;
    QTest::newRow("encoded ampersand in value")
        << QStringList{link(withCharacter(QStringLiteral("%26")))} << none;
    QTest::newRow("capitalised item name")
        << QStringList{QStringLiteral("kestrel://connect?PairingToken=") + token} << none;
    QTest::newRow("item without =")
        << QStringList{QStringLiteral("kestrel://connect?pairingToken")} << none;
    QTest::newRow("empty value") << QStringList{link(QString())} << none;
    QTest::newRow("63 characters") << QStringList{link(token.left(63))} << none;
    QTest::newRow("65 characters") << QStringList{link(token + QStringLiteral("a"))} << none;
    QTest::newRow("plus sign") << QStringList{link(withCharacter(QStringLiteral("+")))} << none;
    QTest::newRow("encoded plus sign")
        << QStringList{link(withCharacter(QStringLiteral("%2B")))} << none;
    QTest::newRow("slash") << QStringList{link(withCharacter(QStringLiteral("/")))} << none;
    QTest::newRow("equals sign") << QStringList{link(withCharacter(QStringLiteral("=")))} << none;
    QTest::newRow("full stop") << QStringList{link(withCharacter(QStringLiteral(".")))} << none;
    QTest::newRow("space") << QStringList{link(withCharacter(QStringLiteral("%20")))} << none;
    QTest::newRow("Cyrillic letter")
        << QStringList{link(withCharacter(QStringLiteral("%D0%B0")))} << none;
    QTest::newRow("trailing line feed") << QStringList{link(token + QStringLiteral("%0A"))} << none;
    QTest::newRow("trailing carriage return and line feed")
        << QStringList{link(token + QStringLiteral("%0D%0A"))} << none;
    QTest::newRow("leading line feed") << QStringList{link(QStringLiteral("%0A") + token)} << none;
}

void TestPairingLink::acceptance() {
    QFETCH(QStringList, links);
    QFETCH(QString, expected);

    QList<QUrl> urls;
    for (const QString& text : links)
        urls.append(QUrl(text, QUrl::StrictMode));
    const std::optional<QString> accepted = pairingTokenFromLinks(urls);

    if (expected.isNull()) {
        QVERIFY2(!accepted, qPrintable(accepted.value_or(QString())));
    } else {
        QVERIFY(accepted);
        QCOMPARE(*accepted, expected);
    }
}

QTEST_APPLESS_MAIN(TestPairingLink)
#include "tst_pairing_link.moc"
