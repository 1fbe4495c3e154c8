// The bundle's Info.plist as the application reads it and, where the agent is
// built, as the agent reads it. Both read the same file to learn the version:
// if they disagree, the application takes its own agent for a foreign one.
// They must agree on every well-formed UTF-8 property list. Documents that
// define their own entities, declare another encoding, mix text with elements,
// carry processing instructions inside or break the key-value pairing of a
// dictionary are never written by the build and only have to be read without
// harm.

#include "FuzzCheck.h"
#include "platform/BundleInfo.h"

#ifdef KESTREL_FUZZ_AGENT_PLIST
#include "AgentCore.h"
#include "BundleVersion.h"
#endif

#include <QByteArray>
#include <QStringDecoder>
#include <QXmlStreamReader>
#include <cstddef>
#include <cstdint>

namespace {

struct OpenElement {
    bool isDictionary = false;
    bool hasChildren = false;
    bool hasText = false;
    // In a dictionary: the next child must be a <key>.
    bool expectsKey = true;
};

bool isPlainPropertyList(const QByteArray& document) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    (void)QString(utf8.decode(document));
    if (utf8.hasError())
        return false;
    QList<OpenElement> open;
    QXmlStreamReader xml(document);
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartDocument:
            // Asked here: Qt forgets an encoding it does not know by the end
            // of a document it then reads as UTF-8 (the agent refuses it).
            if (!xml.documentEncoding().isEmpty() &&
                xml.documentEncoding().compare(QLatin1String("UTF-8"), Qt::CaseInsensitive) != 0)
                return false;
            break;
        case QXmlStreamReader::DTD:
            if (!xml.entityDeclarations().isEmpty())
                return false;
            break;
        case QXmlStreamReader::ProcessingInstruction:
            if (!open.isEmpty())
                return false;
            break;
        case QXmlStreamReader::StartElement:
            if (!open.isEmpty()) {
                OpenElement& parent = open.last();
                parent.hasChildren = true;
                if (parent.isDictionary) {
                    if ((xml.name() == QLatin1String("key")) != parent.expectsKey)
                        return false;
                    parent.expectsKey = !parent.expectsKey;
                }
            }
            open.append({.isDictionary = xml.name() == QLatin1String("dict")});
            break;
        case QXmlStreamReader::Characters:
            if (!open.isEmpty() && !xml.isWhitespace())
                open.last().hasText = true;
            break;
        case QXmlStreamReader::EndElement:
            if ((open.last().hasChildren && open.last().hasText) ||
                (open.last().isDictionary && !open.last().expectsKey))
                return false;
            open.removeLast();
            break;
        default:
            break;
        }
    }
    return !xml.hasError();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray plist(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString application = kestrel::shortVersionFromInfoPlist(plist).value_or(
        QString::fromLatin1(kestrel::fallbackBundleVersion));
#ifdef KESTREL_FUZZ_AGENT_PLIST
    const std::string agent = kestrel::agent::shortVersionFromInfoPlist(
                                  std::string_view(reinterpret_cast<const char*>(data), size))
                                  .value_or(kestrel::agent::fallbackVersion);
    if (isPlainPropertyList(plist))
        FUZZ_CHECK(application == QString::fromStdString(agent));
#else
    (void)application;
    (void)isPlainPropertyList;
#endif
    return 0;
}
