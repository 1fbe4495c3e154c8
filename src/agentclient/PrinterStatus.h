#pragma once

#include "agentclient/Printer.h"
#include "agentclient/PrintersResponse.h"
#include "agentclient/StatusRequest.h"

#include <QString>
#include <optional>

namespace kestrel {

// "http=200 error=none:0 valid=true count=2": what the log records of one
// printers request. count is the decoded count even when ok is false.
QString printersOutcome(const std::optional<int>& statusCode,
                        const std::optional<TransportError>& error,
                        const std::optional<PrintersResponse>& response);

// Only status 200 with a decoded body whose ok is true replaces the shown list.
bool shouldReplacePrinters(const std::optional<int>& statusCode,
                           const std::optional<PrintersResponse>& response);

// The name, with "  ·  по умолчанию" for the default printer.
QString printerCellText(const Printer& printer);

} // namespace kestrel
