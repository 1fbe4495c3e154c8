#include "MessageBoxPresenter.h"

#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace kestrel {

namespace {

// What the agent or a server says is never markup: a label that guesses
// would load `<img src=file:…>`, show links and fold line breaks.
void setPlainTexts(QMessageBox& box, const QString& informative) {
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(informative);
    for (QLabel* label : box.findChildren<QLabel*>())
        label->setTextFormat(Qt::PlainText);
}

} // namespace

void MessageBoxPresenter::showAlert(QWidget* window, const QString& title, const QString& message) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Агент KESTREL"), title,
                    QMessageBox::NoButton, window);
    setPlainTexts(box, message);
    box.addButton(QStringLiteral("Понятно"), QMessageBox::AcceptRole);
    box.exec();
}

void MessageBoxPresenter::askAsSheet(QWidget* window, const QString& title, const QString& text,
                                     const QString& acceptButton, const QString& rejectButton,
                                     std::function<void(bool accepted)> done) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Агент KESTREL"), title,
                                QMessageBox::NoButton, window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    setPlainTexts(*box, text);
    QPushButton* accept = box->addButton(acceptButton, QMessageBox::AcceptRole);
    box->addButton(rejectButton, QMessageBox::RejectRole);
    box->setDefaultButton(accept);
    const QPointer<QPushButton> acceptPointer(accept);
    QObject::connect(box, &QMessageBox::finished, box,
                     [box, acceptPointer, done = std::move(done)](int) {
                         done(acceptPointer && box->clickedButton() == acceptPointer);
                     });
    box->open();
}

} // namespace kestrel
