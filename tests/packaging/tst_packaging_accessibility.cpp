#include "ui/MainWindow.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAccessible>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTest>

using namespace kestrel;

namespace {

QString accessibleName(QWidget* widget) {
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    return accessible ? accessible->text(QAccessible::Name) : QString();
}

} // namespace

// What a screen reader says for each part of the window.
class TestPackagingAccessibility : public QObject {
    Q_OBJECT

private slots:
    void everyControlAndLabelHasAName() {
        QStandardItemModel printers;
        printers.appendRow(new QStandardItem(QStringLiteral("Принтер в бухгалтерии")));
        MainWindow window(QStringLiteral("1.0.0"), QStringLiteral("Mac с процессором M"),
                          &printers);
        int named = 0;
        for (QWidget* widget : window.findChildren<QWidget*>()) {
            const bool shown = qobject_cast<QAbstractButton*>(widget) ||
                               qobject_cast<QAbstractItemView*>(widget) ||
                               qobject_cast<QProgressBar*>(widget) || qobject_cast<QLabel*>(widget);
            if (!shown)
                continue;
            QVERIFY2(!accessibleName(widget).trimmed().isEmpty(),
                     qPrintable(QStringLiteral("%1 «%2»").arg(
                         QString::fromLatin1(widget->metaObject()->className()),
                         widget->property("text").toString())));
            ++named;
        }
        QVERIFY(named >= 15);
        // The coloured dot says in words what its colour means.
        QCOMPARE(accessibleName(window.statusDot()), window.statusTitle()->text());
    }

    // The controller retitles buttons as the state changes; a name fixed at
    // construction would then contradict what is on screen.
    void buttonNamesFollowTheirText_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("text");
        QTest::newRow("signing") << "signing"
                                 << "Разрешить доступ";
        QTest::newRow("update") << "update"
                                << "Скачать и установить";
        QTest::newRow("refresh") << "refresh"
                                 << "Обновляем…";
    }
    void buttonNamesFollowTheirText() {
        QFETCH(QString, button);
        QFETCH(QString, text);
        QStandardItemModel printers;
        MainWindow window(QStringLiteral("1.0.0"), QStringLiteral("Mac с процессором M"),
                          &printers);
        QPushButton* target = button == u"signing"  ? window.signingButton()
                              : button == u"update" ? window.updateButton()
                                                    : window.refreshButton();
        target->setText(text);
        QCOMPARE(accessibleName(target), text);
    }
};

QTEST_MAIN(TestPackagingAccessibility)
#include "tst_packaging_accessibility.moc"
