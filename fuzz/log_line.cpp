// A log line of any event text: one line, with the event's control
// characters escaped and everything else kept.

#include "FuzzCheck.h"
#include "log/LogLine.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstddef>
#include <cstdint>

using namespace kestrel;

namespace {

bool breaksLines(QChar c) {
    const char16_t u = c.unicode();
    return u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0) || u == 0x2028 || u == 0x2029;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Odd bytes as UTF-8 (as an agent's reply would give them), even as UTF-16
    // (lone surrogates included).
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString events[] = {
        QString::fromUtf8(bytes),
        QString(reinterpret_cast<const QChar*>(bytes.constData()), bytes.size() / 2),
    };
    for (const QString& event : events) {
        const QString escaped = escapeControlCharacters(event);
        for (const QChar c : escaped)
            FUZZ_CHECK(!breaksLines(c));
        if (std::none_of(event.begin(), event.end(), breaksLines))
            FUZZ_CHECK(escaped == event);

        const QString line =
            formatLogLine(QDateTime::fromMSecsSinceEpoch(0), QStringLiteral("ID"), 1.5, event);
        FUZZ_CHECK(line.endsWith(QStringLiteral(" ") + escaped + QStringLiteral("\n")));
        const QByteArray written = line.toUtf8();
        FUZZ_CHECK(written.count('\n') == 1 && written.endsWith('\n'));
        FUZZ_CHECK(written.count('\r') == 0);
    }
    return 0;
}
