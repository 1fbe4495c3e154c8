#include "SystemText.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace kestrel {

namespace {

// The C library's Russian wording, with "папка" for "каталог" as the rest of
// the interface says.
const std::array<std::pair<int, const char*>, 15> russianErrors{{
    {ENOSPC, "Нет свободного места на устройстве"},
    {EDQUOT, "Превышена дисковая квота"},
    {EROFS, "Файловая система доступна только для чтения"},
    {EACCES, "Отказано в доступе"},
    {EPERM, "Операция не позволена"},
    {ENOTDIR, "Не является папкой"},
    {ENOTEMPTY, "Папка не пуста"},
    {EISDIR, "Является папкой"},
    {ENOENT, "Нет такого файла или папки"},
    {EEXIST, "Файл существует"},
    {EFBIG, "Файл слишком велик"},
    {EIO, "Ошибка ввода/вывода"},
    {ENOEXEC, "Ошибка формата выполняемого файла"},
    {ENAMETOOLONG, "Слишком длинное имя файла"},
    {EMFILE, "Слишком много открытых файлов"},
}};

} // namespace

QString systemErrorText(int errorNumber) {
    for (const auto& [number, text] : russianErrors)
        if (number == errorNumber)
            return QString::fromUtf8(text);
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

QString russianSystemMessage(const QString& message) {
    // Qt puts the name of the failed call before the system's text.
    for (const auto& [number, text] : russianErrors)
        if (message.endsWith(QString::fromLocal8Bit(std::strerror(number))))
            return QString::fromUtf8(text);
    return message;
}

} // namespace kestrel
