#include "platform/linux/LoginItemLinux.h"

#include "platform/SystemText.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <algorithm>
#include <filesystem>
#include <system_error>

namespace kestrel {

namespace {

const auto groupHeader = QStringLiteral("[Desktop Entry]");
// Marks the entry as written by this application, so a hand-made entry of
// the same name is never taken for our registration.
const auto ownerKey = QStringLiteral("X-Kestrel-Login-Item");
constexpr qint64 maximumEntryBytes = 64 * 1024;

bool isReservedInExec(QChar c) {
    static constexpr QStringView reserved = u" \t\n\"'\\><~|&;$*?#()`";
    return reserved.contains(c);
}

// One Exec argument before the key file's string escapes are applied.
QString quoteExecArgument(const QString& argument) {
    const bool mustQuote =
        argument.isEmpty() || std::any_of(argument.cbegin(), argument.cend(), isReservedInExec);
    QString quoted;
    if (mustQuote) {
        quoted += u'"';
    }
    for (const QChar c : argument) {
        if (c == u'%') {
            // "%" starts a field code everywhere, quoted or not.
            quoted += u"%%";
            continue;
        }
        if (mustQuote && (c == u'"' || c == u'`' || c == u'$' || c == u'\\')) {
            quoted += u'\\';
        }
        quoted += c;
    }
    if (mustQuote) {
        quoted += u'"';
    }
    return quoted;
}

// The program named by an unescaped Exec value: its first argument with the
// quoting undone. Nothing when the value breaks the quoting rules.
std::optional<QString> execProgram(const QString& exec) {
    qsizetype i = 0;
    while (i < exec.size() && exec[i] == u' ') {
        ++i;
    }
    QString program;
    const bool quoted = i < exec.size() && exec[i] == u'"';
    if (quoted) {
        ++i;
    }
    for (; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted && c == u'"') {
            if (i + 1 < exec.size() && exec[i + 1] != u' ') {
                return std::nullopt;
            }
            return program;
        }
        if (!quoted && c == u' ') {
            break;
        }
        if (quoted && c == u'\\') {
            if (i + 1 >= exec.size() || !QStringView(u"\"`$\\").contains(exec[i + 1])) {
                return std::nullopt;
            }
            program += exec[++i];
            continue;
        }
        if (c == u'%') {
            if (i + 1 >= exec.size()) {
                return std::nullopt;
            }
            if (exec[++i] == u'%') {
                program += u'%';
            }
            continue;
        }
        program += c;
    }
    if (quoted) {
        return std::nullopt; // no closing quote
    }
    return program;
}

// The key file's escapes for values of type string.
QString escapeDesktopString(const QString& value) {
    QString escaped;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c == u'\\') {
            escaped += u"\\\\";
        } else if (c == u'\n') {
            escaped += u"\\n";
        } else if (c == u'\t') {
            escaped += u"\\t";
        } else if (c == u'\r') {
            escaped += u"\\r";
        } else if (c == u' ' && i == 0) {
            // Readers strip spaces after "=".
            escaped += u"\\s";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

QString unescapeDesktopString(const QString& value) {
    QString plain;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != u'\\' || i + 1 >= value.size()) {
            plain += value[i];
            continue;
        }
        switch (value[++i].unicode()) {
        case u's':
            plain += u' ';
            break;
        case u'n':
            plain += u'\n';
            break;
        case u't':
            plain += u'\t';
            break;
        case u'r':
            plain += u'\r';
            break;
        case u'\\':
            plain += u'\\';
            break;
        default:
            plain += u'\\';
            plain += value[i];
        }
    }
    return plain;
}

// The raw values of the main group; nothing when the file cannot be read.
std::optional<QHash<QString, QString>> readMainGroup(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QString text = QString::fromUtf8(file.read(maximumEntryBytes));
    QHash<QString, QString> values;
    bool inMainGroup = false;
    for (const QStringView line : QStringView(text).split(u'\n')) {
        const QStringView trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u'#')) {
            continue;
        }
        if (trimmed.startsWith(u'[')) {
            inMainGroup = trimmed == groupHeader;
            continue;
        }
        const qsizetype equals = trimmed.indexOf(u'=');
        if (!inMainGroup || equals < 0) {
            continue;
        }
        const QString key = trimmed.left(equals).trimmed().toString();
        if (!values.contains(key)) {
            values.insert(key, trimmed.mid(equals + 1).trimmed().toString());
        }
    }
    return values;
}

bool isSameFile(const QString& a, const QString& b) {
    if (a == b) {
        return true;
    }
    const QString canonicalA = QFileInfo(a).canonicalFilePath();
    return !canonicalA.isEmpty() && canonicalA == QFileInfo(b).canonicalFilePath();
}

} // namespace

LoginItemLinux::LoginItemLinux(QString executable, QString autostartFolder)
    : m_executable(std::move(executable)), m_autostartFolder(std::move(autostartFolder)) {}

QString LoginItemLinux::entryPath() const {
    return m_autostartFolder + QStringLiteral("/kestrel-agent.desktop");
}

LoginItem::Status LoginItemLinux::status() const {
    const auto values = readMainGroup(entryPath());
    if (!values || values->value(ownerKey) != u"true" ||
        values->value(QStringLiteral("Hidden")) == u"true") {
        return Status::NotRegistered;
    }
    const auto program = execProgram(unescapeDesktopString(values->value(QStringLiteral("Exec"))));
    return program && isSameFile(*program, m_executable) ? Status::Enabled : Status::NotRegistered;
}

std::optional<QString> LoginItemLinux::setRegistered(bool registered) {
    return registered ? writeEntry() : removeEntry();
}

std::optional<QString> LoginItemLinux::writeEntry() const {
    if (!QFileInfo(m_executable).isAbsolute()) {
        return QStringLiteral("Не удалось определить путь к программе «%1».").arg(m_executable);
    }

    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(m_autostartFolder).toStdString(), error);
    if (error) {
        return QStringLiteral("Не удалось создать папку «%1»: %2")
            .arg(m_autostartFolder, systemErrorText(error.value()));
    }

    const QString entry = groupHeader + u'\n' +
                          QStringLiteral("Type=Application\n"
                                         "Name=Агент KESTREL\n"
                                         "Exec=") +
                          escapeDesktopString(quoteExecArgument(m_executable)) + u'\n' + ownerKey +
                          QStringLiteral("=true\n");

    const QString path = entryPath();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(entry.toUtf8()) < 0 || !file.commit()) {
        return QStringLiteral("Не удалось записать файл «%1»: %2")
            .arg(path, russianSystemMessage(file.errorString()));
    }
    return std::nullopt;
}

std::optional<QString> LoginItemLinux::removeEntry() const {
    const QString path = entryPath();
    QFile file(path);
    if (file.remove()) {
        return std::nullopt;
    }
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) {
        return std::nullopt;
    }
    return QStringLiteral("Не удалось удалить файл «%1»: %2")
        .arg(path, russianSystemMessage(file.errorString()));
}

} // namespace kestrel
