#include "PrinterListModel.h"

#include "agentclient/PrinterStatus.h"

#include <QSize>

namespace kestrel {

PrinterListModel::PrinterListModel(QObject* parent) : QAbstractListModel(parent) {}

void PrinterListModel::setPrinters(std::vector<Printer> printers) {
    beginResetModel();
    m_printers = std::move(printers);
    endResetModel();
}

int PrinterListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_printers.size());
}

QVariant PrinterListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Printer& printer = m_printers[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return printerCellText(printer);
    case Qt::SizeHintRole:
        // The view stretches rows to its width; only the height is ours.
        return QSize(0, rowHeight);
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeading | Qt::AlignVCenter));
    default:
        return {};
    }
}

} // namespace kestrel
