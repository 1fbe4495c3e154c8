#include "support/Files.h"
#include "ui/Icons.h"
#include "ui/MainWindow.h"
#include "ui/StatusColor.h"

#include <QAccessible>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <cmath>

using namespace kestrel;
using kestrel::test::fileContents;

// Contrast of two colours, sRGB's curve taken as a plain 2.2 power.
static double contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        return 0.2126 * std::pow(c.redF(), 2.2) + 0.7152 * std::pow(c.greenF(), 2.2) +
               0.0722 * std::pow(c.blueF(), 2.2) + 0.05;
    };
    return std::max(luminance(a), luminance(b)) / std::min(luminance(a), luminance(b));
}

class TestPackaging : public QObject {
    Q_OBJECT

private slots:
    // The Info.plist the build writes into the bundle, each key beside its
    // value: LSUIElement as the string "true" would be ignored.
    void infoPlistDeclares() {
        const QString plist = QString::fromUtf8(fileContents(KESTREL_BUNDLE "/Contents/Info.plist"))
                                  .replace(QRegularExpression(">\\s+<"), "><");
        const QString id =
            QRegularExpression("<id>(.+)</id>").match(fileContents(KESTREL_METAINFO)).captured(1);
        for (const QString& entry :
             {"CFBundleIdentifier</key><string>" + id + '<', // as AppStream's
              QString("CFBundleShortVersionString</key><string>" KESTREL_VERSION "<"),
              QString("CFBundleExecutable</key><string>" KESTREL_EXECUTABLE "<"),
              QString("CFBundleIconFile</key><string>KestrelAgent.icns<"),
              QString("CFBundleURLSchemes</key><array><string>kestrel<"),
              QString("LSUIElement</key><true/>"), // menu bar only
              QString("LSMinimumSystemVersion</key><string>13.0<")})
            QVERIFY2(plist.contains("<key>" + entry), qPrintable(entry + " in " + plist));
    }

    void everyControlIsNamedAndButtonsByTheirCurrentText() {
        const auto name = [](QWidget* widget) {
            return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
        };
        MainWindow window("1.0.0", "Mac с процессором M", nullptr);
        int named = 0;
        for (QWidget* widget : window.findChildren<QWidget*>()) {
            if (widget->inherits("QAbstractButton") || widget->inherits("QLabel") ||
                widget->inherits("QAbstractItemView") || widget->inherits("QProgressBar")) {
                QVERIFY2(!name(widget).trimmed().isEmpty(), widget->metaObject()->className());
                ++named;
            }
        }
        QVERIFY(named >= 15);
        // The coloured dot says in words what its colour means.
        QCOMPARE(name(window.statusDot()), window.statusTitle()->text());
        // The controller retitles these; a name fixed at construction would go stale.
        for (QPushButton* button :
             {window.signingButton(), window.updateButton(), window.refreshButton()}) {
            button->setText("Обновляем…");
            QCOMPARE(name(button), button->text());
        }
    }

    // At the sizes trays use, every status colour keeps a border's worth of
    // pixels at 3:1 or more against light and dark panels; without the
    // contrasting outline a light fill vanishes on a light panel.
    void trayGlyphShowsOnLightAndDarkPanels() {
        for (const QColor panel : {QColor(0xf6, 0xf5, 0xf4), QColor(0x30, 0x30, 0x30)})
            for (int status = 0; status <= int(StatusColor::Red); ++status)
                for (const int size : {16, 22}) {
                    const QColor color = statusQColor(StatusColor(status), {});
                    QImage shown(size, size, QImage::Format_RGB32);
                    shown.fill(panel);
                    QPainter(&shown).drawImage(0, 0, renderPrinterGlyph(size, color));
                    int standingOut = 0;
                    for (int i = 0; i < size * size; ++i)
                        standingOut += contrast(shown.pixelColor(i % size, i / size), panel) >= 3;
                    QVERIFY2(standingOut >= 3 * size,
                             qPrintable(color.name() + " on " + panel.name()));
                }
    }
};

QTEST_MAIN(TestPackaging)
#include "tst_packaging.moc"
