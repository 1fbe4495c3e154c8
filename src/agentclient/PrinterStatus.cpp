#include "PrinterStatus.h"

namespace kestrel {

QString printersOutcome(const std::optional<int>& statusCode,
                        const std::optional<TransportError>& error,
                        const std::optional<PrintersResponse>& response) {
    const bool valid = response && response->ok();
    const qsizetype count = response ? qsizetype(response->printers().size()) : 0;
    return QStringLiteral("http=%1 error=%2 valid=%3 count=%4")
        .arg(QString::number(statusCode.value_or(0)), errorText(error),
             valid ? QStringLiteral("true") : QStringLiteral("false"), QString::number(count));
}

bool shouldReplacePrinters(const std::optional<int>& statusCode,
                           const std::optional<PrintersResponse>& response) {
    return statusCode == 200 && response && response->ok();
}

QString printerCellText(const Printer& printer) {
    if (!printer.isDefault())
        return printer.name();
    return printer.name() + QStringLiteral("  ·  по умолчанию");
}

} // namespace kestrel
