#pragma once

#include "update/Sha256.h"
#include "update/UpdateError.h"

#include <QFile>
#include <QObject>
#include <QString>
#include <optional>
#include <variant>

namespace kestrel {

// Success: the path the image now has.
using DownloadResult = std::variant<QString, UpdateError>;

namespace updateMessages {
inline const QString downloadFailed = QStringLiteral("Не удалось скачать обновление.");
inline const QString badSize = QStringLiteral("Файл обновления имеет недопустимый размер.");
inline const QString checksumMismatch = QStringLiteral("Контрольная сумма обновления не совпала.");
} // namespace updateMessages

// What the image must be and where it goes.
struct DownloadTarget {
    QString folder;
    QString filename;
    QString sha256;
    qint64 maximumBytes = 0;
};

// Receives the image piece by piece on a worker thread: hashes every piece
// and writes it to a dot-prefixed partial file beside the destination, then
// checks size and checksum and moves the file into place. The partial file is
// gone after finish(), abandon() and destruction, whatever happened.
class DownloadSink : public QObject {
    Q_OBJECT
public:
    explicit DownloadSink(DownloadTarget target);
    ~DownloadSink() override;

    void consume(const QByteArray& chunk);
    DownloadResult finish();
    void abandon();

    QString partialPath() const { return m_partialPath; }
    QString destinationPath() const;

private:
    bool openPartialFile();
    std::optional<UpdateError> replaceDestination();
    void removePartialFile();

    const DownloadTarget m_target;
    const QString m_partialPath;
    Sha256 m_hash;
    qint64 m_size = 0;
    QFile m_file;
    bool m_triedOpen = false;
    // The first file failure. Hashing goes on after it, so that a wrong size
    // or checksum is still reported first.
    std::optional<UpdateError> m_fileError;
};

} // namespace kestrel
