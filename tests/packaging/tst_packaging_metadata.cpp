#include "app/Config.h"
#include "platform/BundleInfo.h"
#include "update/UpdateSelection.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <QXmlStreamReader>
#include <optional>

using namespace kestrel;

namespace {

const QString bundle = QStringLiteral(KESTREL_BUNDLE);
const QString projectVersion = QStringLiteral(KESTREL_PROJECT_VERSION);

// One property-list value, the reader standing on its start element: dict,
// array, string, integer, true and false. Anything else fails.
std::optional<QVariant> readValue(QXmlStreamReader& xml) {
    const QString element = xml.name().toString();
    if (element == u"string")
        return QVariant(xml.readElementText());
    if (element == u"true" || element == u"false") {
        xml.skipCurrentElement();
        return QVariant(element == u"true");
    }
    if (element == u"integer") {
        bool ok = false;
        const qlonglong value = xml.readElementText().toLongLong(&ok);
        return ok ? std::optional<QVariant>(value) : std::nullopt;
    }
    if (element == u"array") {
        QVariantList list;
        while (xml.readNextStartElement()) {
            const auto value = readValue(xml);
            if (!value)
                return std::nullopt;
            list.append(*value);
        }
        return QVariant(list);
    }
    if (element == u"dict") {
        QVariantMap map;
        while (xml.readNextStartElement()) {
            if (xml.name() != u"key")
                return std::nullopt;
            const QString key = xml.readElementText();
            if (map.contains(key) || !xml.readNextStartElement())
                return std::nullopt;
            const auto value = readValue(xml);
            if (!value)
                return std::nullopt;
            map.insert(key, *value);
        }
        return QVariant(map);
    }
    return std::nullopt;
}

std::optional<QVariantMap> readPropertyList(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QXmlStreamReader xml(&file);
    if (!xml.readNextStartElement() || xml.name() != u"plist" || !xml.readNextStartElement())
        return std::nullopt;
    const auto value = readValue(xml);
    if (!value || xml.hasError() || value->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    return value->toMap();
}

bool isExecutableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

} // namespace

// The Info.plist the build writes into the bundle, read as the system reads it.
class TestPackagingMetadata : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        const auto plist = readPropertyList(bundle + QStringLiteral("/Contents/Info.plist"));
        QVERIFY2(plist, "Contents/Info.plist is missing or not a property list");
        m_plist = *plist;
    }

    void identifiesTheBundleAndItsExecutable() {
        const QString identifier = m_plist.value(QStringLiteral("CFBundleIdentifier")).toString();
        QVERIFY(QRegularExpression(QRegularExpression::anchoredPattern(
                                       QStringLiteral("[a-z0-9-]+(\\.[a-z0-9-]+)+")))
                    .match(identifier)
                    .hasMatch());
        // One identity on both platforms: the AppStream component is the bundle.
        QFile metainfo(QStringLiteral(KESTREL_METAINFO));
        QVERIFY(metainfo.open(QIODevice::ReadOnly));
        QVERIFY(metainfo.readAll().contains("<id>" + identifier.toUtf8() + "</id>"));

        const QString executable = m_plist.value(QStringLiteral("CFBundleExecutable")).toString();
        QVERIFY(!executable.isEmpty());
        QVERIFY2(isExecutableFile(bundle + QStringLiteral("/Contents/MacOS/") + executable),
                 qPrintable(executable));
    }

    void carriesTheProjectVersion() {
        QCOMPARE(m_plist.value(QStringLiteral("CFBundleShortVersionString")),
                 QVariant(projectVersion));
        QCOMPARE(m_plist.value(QStringLiteral("CFBundleVersion")), QVariant(projectVersion));
        // And the application's own reader finds it there.
        QCOMPARE(bundleVersion(bundle), projectVersion);
    }

    void claimsTheLinkScheme() {
        QStringList schemes;
        for (const QVariant& type : m_plist.value(QStringLiteral("CFBundleURLTypes")).toList()) {
            const QVariantMap entry = type.toMap();
            QVERIFY(!entry.value(QStringLiteral("CFBundleURLName")).toString().isEmpty());
            schemes += entry.value(QStringLiteral("CFBundleURLSchemes")).toStringList();
        }
        QCOMPARE(schemes, QStringList{QStringLiteral("kestrel")});
    }

    void isAMenuBarOnlyApplicationFromMacOS13() {
        // A Boolean, not the string "true", or the system ignores it.
        const QVariant agent = m_plist.value(QStringLiteral("LSUIElement"));
        QCOMPARE(agent.typeId(), QMetaType::Bool);
        QVERIFY(agent.toBool());
        QCOMPARE(m_plist.value(QStringLiteral("LSMinimumSystemVersion")),
                 QVariant(QStringLiteral("13.0")));
    }

    void namesItsIcon() {
        const QString icon = m_plist.value(QStringLiteral("CFBundleIconFile")).toString();
        QVERIFY(icon.endsWith(QStringLiteral(".icns")));
#ifdef Q_OS_MACOS
        QVERIFY2(QFileInfo(bundle + QStringLiteral("/Contents/Resources/") + icon).isFile(),
                 qPrintable(icon));
#endif
    }

    void carriesTheAgent() {
        if (!KESTREL_BUILT_AGENT)
            QSKIP("built without the reference agent");
        QVERIFY(isExecutableFile(
            bundle + QStringLiteral("/Contents/Resources/PrintService/orvanta-print-agent")));
    }

    // The disk image CPack makes must be the one the update check accepts.
    void diskImageNameIsAcceptedByTheUpdateCheck() {
        const Config config;
        const UpdateConstants constants{.updateHost = QStringLiteral("updates.test"),
                                        .updateBuildKey = config.updateBuildKey,
                                        .updateFilenamePlatform = config.updateFilenamePlatform,
                                        .updatePlatformName = config.updatePlatformName};
        const QString name = QStringLiteral(KESTREL_DISK_IMAGE_NAME);
        UpdateManifest manifest;
        manifest.version = projectVersion;
        manifest.builds.insert(
            config.updateBuildKey,
            {.filename = name,
             .url = QStringLiteral("https://updates.test/downloads/print-agent/") + name,
             .sha256 = QString(64, u'a')});
        const UpdateOutcome outcome = availableUpdate(manifest, QStringLiteral("0.0.1"), constants);
        QVERIFY2(std::holds_alternative<AvailableUpdate>(outcome), qPrintable(name));
    }

private:
    QVariantMap m_plist;
};

QTEST_GUILESS_MAIN(TestPackagingMetadata)
#include "tst_packaging_metadata.moc"
