#pragma once

#include "agentclient/Printer.h"

#include <QByteArray>
#include <QJsonObject>
#include <optional>
#include <vector>

namespace kestrel {

// The agent's reply to "v1/printers". All members required; one bad printer
// makes the whole reply undecodable.
class PrintersResponse {
public:
    PrintersResponse(bool ok, std::vector<Printer> printers)
        : m_ok(ok), m_printers(std::move(printers)) {}

    static std::optional<PrintersResponse> fromJson(const QJsonObject& object);
    // Nothing when the body is not a JSON object or the object does not decode.
    static std::optional<PrintersResponse> fromBody(const QByteArray& body);

    bool ok() const { return m_ok; }
    const std::vector<Printer>& printers() const { return m_printers; }

private:
    bool m_ok;
    std::vector<Printer> m_printers;
};

} // namespace kestrel
