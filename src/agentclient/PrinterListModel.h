#pragma once

#include "agentclient/Printer.h"

#include <QAbstractListModel>
#include <vector>

namespace kestrel {

// Rows of the printer table: one row per printer, in the order the agent
// listed them. The controller's own list (AppState::printers) is the source
// of truth; the controller hands the model a copy whenever it replaces that
// list, and nobody else writes to the model.
class PrinterListModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int rowHeight = 38;

    explicit PrinterListModel(QObject* parent = nullptr);

    void setPrinters(std::vector<Printer> printers);
    const std::vector<Printer>& printers() const { return m_printers; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::vector<Printer> m_printers;
};

} // namespace kestrel
