#include "MainWindow.h"

#include "Icons.h"
#include "PlatformWords.h"
#include "StatusColor.h"

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <algorithm>

namespace kestrel {

namespace {

// Sizes are in the desktop's logical pixels, the unit the layout's fixed
// sizes use; point sizes would grow with the screen's DPI setting and
// overflow the fixed window.
QLabel* makeLabel(const QString& text, int pixelSize, QFont::Weight weight, SemanticColor color,
                  QWidget* parent) {
    auto* label = new QLabel(text, parent);
    // Agents' and servers' texts land in these labels; none is markup.
    label->setTextFormat(Qt::PlainText);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    label->setFont(font);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, semanticQColor(color, palette));
    label->setPalette(palette);
    return label;
}

// Caps a wrapping label at a number of lines of its own font.
void limitLines(QLabel* label, int lines) {
    label->setMaximumHeight(label->fontMetrics().lineSpacing() * lines + 2);
}

QPushButton* makeButton(const QString& text, QWidget* parent) {
    // No fixed accessible name: a button is named by its current text, which
    // the controller changes (a fixed name would go stale).
    auto* button = new QPushButton(text, parent);
    button->setAutoDefault(false);
    return button;
}

// Printer names start 12 pixels in from the row's edge and end as far from
// the other edge.
class PrinterRowDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    static constexpr int inset = 12;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem inner(option);
        inner.rect.adjust(inset, 0, -inset, 0);
        QStyledItemDelegate::paint(painter, inner, index);
    }
};

} // namespace

MainWindow::MainWindow(const QString& appVersion, const QString& platformName,
                       QAbstractItemModel* printerModel, QWidget* parent)
    : QWidget(parent, Qt::Window), m_appVersion(appVersion), m_platformName(platformName) {
    const PlatformWords& words = platformWords();
    setWindowTitle(QStringLiteral("Агент KESTREL ") + appVersion);
    setWindowIcon(applicationIcon());
    setFixedSize(620, 780);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(28, 26, 28, 24);
    root->setSpacing(18);
    root->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    // Header: icon, name and what the program is for.
    auto* header = new QHBoxLayout;
    header->setSpacing(16);
    auto* icon = new QLabel(this);
    icon->setFixedSize(58, 58);
    icon->setPixmap(applicationIcon().pixmap(58, 58));
    icon->setScaledContents(true);
    icon->setAccessibleName(QStringLiteral("Значок «Агент KESTREL»"));
    auto* names = new QVBoxLayout;
    names->setSpacing(4);
    names->addWidget(
        makeLabel(QStringLiteral("Агент KESTREL"), 24, QFont::Bold, SemanticColor::Label, this));
    names->addWidget(makeLabel(QStringLiteral("Подпись документов и прямая печать из кабинета"), 13,
                               QFont::Normal, SemanticColor::SecondaryLabel, this));
    header->addWidget(icon, 0, Qt::AlignVCenter);
    header->addLayout(names, 1);
    root->addLayout(header);

    // Status card.
    auto* card = new QFrame(this);
    card->setObjectName(QStringLiteral("statusCard"));
    card->setFixedHeight(94);
    card->setStyleSheet(
        QStringLiteral("#statusCard { border: 1px solid %1; border-radius: 12px; "
                       "background: %2; }")
            .arg(semanticQColor(SemanticColor::Separator, palette()).name(QColor::HexArgb),
                 semanticQColor(SemanticColor::ControlBackground, palette()).name()));
    auto* cardColumn = new QVBoxLayout(card);
    cardColumn->setContentsMargins(18, 0, 18, 0);
    cardColumn->setSpacing(7);
    auto* statusLine = new QHBoxLayout;
    statusLine->setSpacing(8);
    m_statusDot = makeLabel(QStringLiteral("●"), 17, QFont::Normal, SemanticColor::Label, card);
    m_statusDot->setWordWrap(false);
    QPalette dotPalette = m_statusDot->palette();
    dotPalette.setColor(QPalette::WindowText, statusQColor(StatusColor::Orange, dotPalette));
    m_statusDot->setPalette(dotPalette);
    m_statusTitle = makeLabel(QStringLiteral("Служба запускается…"), 16, QFont::DemiBold,
                              SemanticColor::Label, card);
    m_statusDot->setAccessibleName(m_statusTitle->text());
    statusLine->addWidget(m_statusDot);
    statusLine->addWidget(m_statusTitle, 1);
    m_statusDetails =
        makeLabel(words.checkingDetails, 12, QFont::Normal, SemanticColor::SecondaryLabel, card);
    limitLines(m_statusDetails, 2);
    cardColumn->addStretch();
    cardColumn->addLayout(statusLine);
    cardColumn->addWidget(m_statusDetails);
    cardColumn->addStretch();
    root->addWidget(card);

    // Signing row.
    auto* signingRow = new QWidget(this);
    signingRow->setMinimumHeight(70);
    auto* signingLayout = new QHBoxLayout(signingRow);
    signingLayout->setContentsMargins(0, 0, 0, 0);
    signingLayout->setSpacing(12);
    m_signingDetails =
        makeLabel(QStringLiteral("Подпись: подключите агент в разделе «Интеграции» кабинета."), 13,
                  QFont::Normal, SemanticColor::SecondaryLabel, signingRow);
    limitLines(m_signingDetails, 3);
    m_signingButton = makeButton(QStringLiteral("Настроить в кабинете"), signingRow);
    m_signingButton->setEnabled(false);
    signingLayout->addWidget(m_signingDetails, 1, Qt::AlignVCenter);
    signingLayout->addWidget(m_signingButton, 0, Qt::AlignVCenter);
    root->addWidget(signingRow);

    // Printers header.
    auto* printersHeader = new QHBoxLayout;
    printersHeader->setSpacing(10);
    printersHeader->addWidget(
        makeLabel(words.printersHeading, 15, QFont::DemiBold, SemanticColor::Label, this));
    printersHeader->addStretch();
    m_refreshButton = makeButton(QStringLiteral("Обновить"), this);
    printersHeader->addWidget(m_refreshButton);
    root->addLayout(printersHeader);

    // Printers box: the list with the empty-list text centred over it.
    auto* printersBox = new QWidget(this);
    printersBox->setFixedHeight(178);
    auto* boxLayout = new QGridLayout(printersBox);
    boxLayout->setContentsMargins(0, 0, 0, 0);
    m_printersTable = new QListView(printersBox);
    m_printersTable->setModel(printerModel);
    m_printersTable->setUniformItemSizes(true);
    m_printersTable->setAlternatingRowColors(false);
    m_printersTable->setSelectionMode(QAbstractItemView::NoSelection);
    m_printersTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_printersTable->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_printersTable->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_printersTable->setAccessibleName(QStringLiteral("Принтеры"));
    QFont rowFont = m_printersTable->font();
    rowFont.setPixelSize(13);
    rowFont.setWeight(QFont::Medium);
    m_printersTable->setFont(rowFont);
    m_printersTable->setSpacing(1);
    m_printersTable->setItemDelegate(new PrinterRowDelegate(m_printersTable));
    m_emptyPrintersLabel =
        makeLabel(QStringLiteral("Принтеры не подключены. Подпись работает без принтера."), 13,
                  QFont::Normal, SemanticColor::SecondaryLabel, printersBox);
    m_emptyPrintersLabel->setAlignment(Qt::AlignCenter);
    m_emptyPrintersLabel->setWordWrap(false);
    boxLayout->addWidget(m_printersTable, 0, 0);
    boxLayout->addWidget(m_emptyPrintersLabel, 0, 0, Qt::AlignCenter);
    root->addWidget(printersBox);

    // Login item.
    m_loginItemButton = new QCheckBox(words.loginItemTitle, this);
    m_loginItemButton->setAccessibleName(m_loginItemButton->text());
    root->addWidget(m_loginItemButton);

    // Update row.
    auto* updateRow = new QHBoxLayout;
    updateRow->setSpacing(12);
    m_updateLabel = makeLabel(QStringLiteral("Проверяем наличие обновления…"), 12, QFont::Medium,
                              SemanticColor::SecondaryLabel, this);
    limitLines(m_updateLabel, 2);
    m_updateProgress = new QProgressBar(this);
    m_updateProgress->setRange(0, 1000);
    m_updateProgress->setTextVisible(false);
    m_updateProgress->setFixedWidth(120);
    m_updateProgress->setAccessibleName(QStringLiteral("Загрузка обновления"));
    m_updateProgress->hide();
    m_updateButton = makeButton(QStringLiteral("Проверить обновления"), this);
    updateRow->addWidget(m_updateLabel, 1);
    updateRow->addWidget(m_updateProgress);
    updateRow->addWidget(m_updateButton);
    root->addLayout(updateRow);

    // Actions.
    auto* actions = new QHBoxLayout;
    actions->setSpacing(10);
    m_portalButton = makeButton(QStringLiteral("Открыть кабинет"), this);
    m_portalButton->setDefault(true);
    m_logButton = makeButton(QStringLiteral("Показать журнал"), this);
    m_quitButton = makeButton(QStringLiteral("Завершить программу"), this);
    m_quitButton->hide();
    actions->addWidget(m_portalButton);
    actions->addWidget(m_logButton);
    actions->addStretch();
    actions->addWidget(m_quitButton);
    root->addLayout(actions);
    // A default button answers Return only in dialogs; this window is not one.
    for (const int key : {Qt::Key_Return, Qt::Key_Enter})
        connect(new QShortcut(QKeySequence(key), this), &QShortcut::activated, m_portalButton,
                &QPushButton::click);

    root->addStretch();
    m_footer = makeLabel(windowFooter(appVersion, platformName, true), 11, QFont::Normal,
                         SemanticColor::TertiaryLabel, this);
    root->addWidget(m_footer);
}

void MainWindow::setTrayAvailable(bool available) {
    m_footer->setText(windowFooter(m_appVersion, m_platformName, available));
    m_quitButton->setVisible(!available);
}

void MainWindow::setVisible(bool visible) {
    // Centred once, before the first showing; after that the window stays
    // where the user put it.
    if (visible && !m_placed) {
        m_placed = true;
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            QRect frame(QPoint(), size());
            frame.moveCenter(area.center());
            move(std::max(frame.left(), area.left()), std::max(frame.top(), area.top()));
        }
    }
    QWidget::setVisible(visible);
}

} // namespace kestrel
