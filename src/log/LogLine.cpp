#include "LogLine.h"

namespace kestrel {

namespace {

QString escapeOne(QChar c) {
    switch (c.unicode()) {
    case '\n':
        return QStringLiteral("\\n");
    case '\r':
        return QStringLiteral("\\r");
    case '\t':
        return QStringLiteral("\\t");
    default:
        return QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    }
}

bool isControl(QChar c) {
    const char16_t u = c.unicode();
    // C0, DEL, C1, and the Unicode line and paragraph separators that some
    // viewers also break lines at.
    return u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0) || u == 0x2028 || u == 0x2029;
}

} // namespace

QString escapeControlCharacters(const QString& event) {
    QString result;
    result.reserve(event.size());
    for (const QChar c : event) {
        if (isControl(c))
            result += escapeOne(c);
        else
            result += c;
    }
    return result;
}

QString formatSeconds(double seconds) {
    return QString::asprintf("%.3f", seconds);
}

QString formatLogLine(const QDateTime& now, const QString& launchId, double elapsedSeconds,
                      const QString& event) {
    return now.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'")) +
           QStringLiteral(" APP launch=") + launchId + QStringLiteral(" elapsed_s=") +
           formatSeconds(elapsedSeconds) + QLatin1Char(' ') + escapeControlCharacters(event) +
           QLatin1Char('\n');
}

} // namespace kestrel
