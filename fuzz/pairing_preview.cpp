// The pairing preview reply and the confirmation text built from it: bodies
// from the agent, and (past a NUL byte) arbitrary UTF-16 for every text field,
// lone surrogates and combining marks included.

#include "FuzzCheck.h"
#include "pairing/PairingPreview.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstddef>
#include <cstdint>

using namespace kestrel;

namespace {

QString utf16(const QByteArray& bytes) {
    return QString(reinterpret_cast<const QChar*>(bytes.constData()), bytes.size() / 2);
}

void checkSheet(const PairingPreview& preview) {
    const QString text = pairingSheetText(preview);
    FUZZ_CHECK(text.startsWith(preview.organizationName));
    FUZZ_CHECK(text.contains(QStringLiteral("\nИНН ") + preview.inn));

    const QString tail = lastCharacters(preview.certificateThumbprint, 8);
    FUZZ_CHECK(preview.certificateThumbprint.endsWith(tail));
    FUZZ_CHECK(tail.size() >= qMin<qsizetype>(8, preview.certificateThumbprint.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype split = input.indexOf('\0');

    // The part before the first NUL byte is a reply body.
    const QByteArray body = split < 0 ? input : input.left(split);
    if (const std::optional<PairingPreview> preview = decodePairingPreview(body))
        checkSheet(*preview);

    if (split < 0)
        return 0;
    // The rest: fields separated by NUL bytes, each read as raw UTF-16.
    const QList<QByteArray> fields = input.mid(split + 1).split('\0');
    const auto field = [&](qsizetype i) {
        return i < fields.size() ? utf16(fields[i]) : QString();
    };
    const auto flag = [&](int bit) {
        return !fields.isEmpty() && !fields.first().isEmpty() && (fields.first()[0] >> bit) & 1;
    };
    PairingPreview preview{
        .organizationName = field(1),
        .inn = field(2),
        .environment = field(3),
        .certificateThumbprint = field(4),
        .certificateSubject = field(5),
        .certificateValidTo = field(6),
        .settings = {.autoSign = flag(0),
                     .renewTrueApi = flag(1),
                     .renewSuz = flag(2),
                     .autoPrepareFbs = flag(3),
                     .fiasId = flag(4) ? std::optional(field(7)) : std::nullopt,
                     .kpp = flag(5) ? std::optional(field(8)) : std::nullopt},
    };
    checkSheet(preview);
    for (int count = 0; count <= 9; ++count) {
        const QString tail = lastCharacters(preview.certificateThumbprint, count);
        FUZZ_CHECK(preview.certificateThumbprint.endsWith(tail));
    }
    return 0;
}
