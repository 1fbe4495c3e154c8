#include "BundleInfo.h"

#include <QDir>
#include <QFile>
#include <QXmlStreamReader>

namespace kestrel {

QString bundlePathForExecutableDir(const QString& executableDir) {
    const QString dir = QDir::cleanPath(executableDir);
    const QString suffix = QStringLiteral("/Contents/MacOS");
    if (dir.endsWith(suffix))
        return dir.chopped(suffix.size());
    return dir;
}

namespace {

// Moves the reader to the top-level <dict> of the property list.
bool enterTopDictionary(QXmlStreamReader& xml) {
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("plist"))
        return false;
    return xml.readNextStartElement() && xml.name() == QLatin1String("dict");
}

} // namespace

std::optional<QString> shortVersionFromInfoPlist(const QByteArray& plist) {
    QXmlStreamReader xml(plist);
    if (!enterTopDictionary(xml))
        return std::nullopt;
    bool valueIsVersion = false;
    while (xml.readNextStartElement()) {
        if (valueIsVersion) {
            if (xml.name() != QLatin1String("string"))
                return std::nullopt;
            const QString text = xml.readElementText();
            if (xml.hasError())
                return std::nullopt;
            return text;
        }
        if (xml.name() == QLatin1String("key")) {
            valueIsVersion = xml.readElementText() == QLatin1String("CFBundleShortVersionString");
        } else {
            xml.skipCurrentElement();
        }
    }
    return std::nullopt;
}

QString bundleVersion(const QString& bundlePath) {
    QFile file(bundlePath + QStringLiteral("/Contents/Info.plist"));
    const QByteArray content =
        file.open(QIODevice::ReadOnly) ? file.read(maximumInfoPlistBytes + 1) : QByteArray();
    if (content.size() > maximumInfoPlistBytes)
        return QString::fromLatin1(fallbackBundleVersion);
    return shortVersionFromInfoPlist(content).value_or(QString::fromLatin1(fallbackBundleVersion));
}

} // namespace kestrel
