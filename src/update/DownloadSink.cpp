#include "DownloadSink.h"

#include "platform/SystemText.h"

#include <QDir>
#include <QUuid>
#include <filesystem>
#include <system_error>

namespace kestrel {

namespace {

std::filesystem::path nativePath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

UpdateError systemError(const std::error_code& error) {
    return platformError(QStringLiteral("std::system_category"), error.value(),
                         systemErrorText(error.value()));
}

UpdateError fileError(const QFile& file) {
    return platformError(QStringLiteral("QFileDevice"), static_cast<int>(file.error()),
                         russianSystemMessage(file.errorString()));
}

// Writes all of `data`. A write cut short (a full disk, a file size limit)
// reports no error of its own, so the rest is written again until the system
// refuses with its reason, which the file then holds.
bool writeAll(QFile& file, const QByteArray& data) {
    qint64 written = 0;
    while (written < data.size()) {
        const qint64 result = file.write(data.constData() + written, data.size() - written);
        if (result <= 0)
            return false;
        written += result;
    }
    return true;
}

QString partialName(const QString& filename) {
    return QStringLiteral(".") + filename + QStringLiteral(".") +
           QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".part");
}

} // namespace

DownloadSink::DownloadSink(DownloadTarget target)
    : m_target(std::move(target)),
      m_partialPath(QDir(m_target.folder).filePath(partialName(m_target.filename))) {}

DownloadSink::~DownloadSink() {
    removePartialFile();
}

QString DownloadSink::destinationPath() const {
    return QDir(m_target.folder).filePath(m_target.filename);
}

void DownloadSink::consume(const QByteArray& chunk) {
    m_hash.update(chunk);
    m_size += chunk.size();
    if (m_fileError || !openPartialFile())
        return;
    if (!writeAll(m_file, chunk)) {
        m_fileError = fileError(m_file);
        removePartialFile();
    }
}

bool DownloadSink::openPartialFile() {
    if (m_triedOpen)
        return m_file.isOpen();
    m_triedOpen = true;
    std::error_code error;
    std::filesystem::create_directories(nativePath(m_target.folder), error);
    if (error) {
        m_fileError = systemError(error);
        return false;
    }
    m_file.setFileName(m_partialPath);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        m_fileError = fileError(m_file);
        return false;
    }
    return true;
}

DownloadResult DownloadSink::finish() {
    const auto result = [this]() -> DownloadResult {
        if (m_file.isOpen() && !m_file.flush() && !m_fileError)
            m_fileError = fileError(m_file);
        m_file.close();
        if (m_size < 1 || m_size > m_target.maximumBytes)
            return updateError(updateMessages::badSize);
        if (m_hash.finalHex() != m_target.sha256)
            return updateError(updateMessages::checksumMismatch);
        if (m_fileError)
            return *m_fileError;
        if (std::optional<UpdateError> error = replaceDestination())
            return *error;
        return destinationPath();
    }();
    removePartialFile();
    return result;
}

void DownloadSink::abandon() {
    m_file.close();
    removePartialFile();
}

std::optional<UpdateError> DownloadSink::replaceDestination() {
    const std::filesystem::path destination = nativePath(destinationPath());
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(destination, error))) {
        // Not recursive: a folder that happens to carry the image's name is
        // the user's, not ours to empty.
        std::filesystem::remove(destination, error);
        if (error)
            return systemError(error);
    }
    std::filesystem::rename(nativePath(m_partialPath), destination, error);
    if (error)
        return systemError(error);
    return std::nullopt;
}

void DownloadSink::removePartialFile() {
    m_file.close();
    std::error_code ignored;
    std::filesystem::remove(nativePath(m_partialPath), ignored);
}

} // namespace kestrel
