// The printers reply: decoding, the log outcome, the decision to replace the
// shown list, and the table model fed with the result.

#include "FuzzCheck.h"
#include "agentclient/PrinterListModel.h"
#include "agentclient/PrinterStatus.h"
#include "agentclient/PrintersResponse.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<PrintersResponse> response = PrintersResponse::fromBody(body);

    const QString outcome = printersOutcome(200, std::nullopt, response);
    FUZZ_CHECK(outcome.contains(QStringLiteral(" valid=true")) == (response && response->ok()));
    FUZZ_CHECK(shouldReplacePrinters(200, response) == (response && response->ok()));
    FUZZ_CHECK(!shouldReplacePrinters(204, response));
    if (!response)
        return 0;

    FUZZ_CHECK(
        outcome.endsWith(QStringLiteral(" count=") + QString::number(response->printers().size())));
    PrinterListModel model;
    model.setPrinters(response->printers());
    FUZZ_CHECK(model.rowCount() == static_cast<int>(response->printers().size()));
    for (int row = 0; row < model.rowCount(); ++row) {
        const Printer& printer = response->printers()[static_cast<size_t>(row)];
        const QString cell = model.data(model.index(row, 0)).toString();
        FUZZ_CHECK(cell == printerCellText(printer));
        FUZZ_CHECK(cell.startsWith(printer.name()));
    }
    return 0;
}
