#include "UpdateDownload.h"

#include "update/UpdateNetwork.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace kestrel {

namespace {

// How far the network may run ahead of the worker thread before reading
// pauses; the reply's own buffer then fills and the socket stops being read.
constexpr qint64 readAheadBytes = 8 * Sha256::chunkBytes;
constexpr qint64 replyBufferBytes = 4 * Sha256::chunkBytes;

} // namespace

UpdateDownload::UpdateDownload(QNetworkAccessManager& session, DownloadPlan plan, QObject* parent)
    : QObject(parent), m_session(session), m_plan(std::move(plan)),
      m_sink(std::make_unique<DownloadSink>(DownloadTarget{
          .folder = m_plan.downloadsFolder,
          .filename = m_plan.build.filename,
          .sha256 = m_plan.build.sha256,
          .maximumBytes = m_plan.maximumBytes,
      })) {
    m_thread.setObjectName(QStringLiteral("UpdateDownload"));
    m_sink->moveToThread(&m_thread);
}

UpdateDownload::~UpdateDownload() {
    // The reply belongs to the session, which may already be gone (and have
    // taken the reply with it) when the controller is torn down.
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        delete m_reply.data();
    }
    m_thread.quit();
    m_thread.wait();
    // The worker thread has stopped, so nothing else touches the sink now;
    // its destructor removes the partial file.
    m_sink.reset();
}

void UpdateDownload::start() {
    m_thread.start();
    QNetworkRequest request = updateRequest(m_plan.build.url, m_plan.appVersion);
    m_reply = startUpdateExchange(m_session, request);
    m_reply->setReadBufferSize(replyBufferBytes);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &UpdateDownload::judgeHeaders);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] { readAvailable(false); });
    connect(m_reply, &QNetworkReply::downloadProgress, this, &UpdateDownload::progress);
    connect(m_reply, &QNetworkReply::finished, this, &UpdateDownload::replyFinished);
}

void UpdateDownload::judgeHeaders() {
    const int status = httpStatus(*m_reply);
    if (m_headersJudged || m_failure || isRedirectStatus(status))
        return;
    m_headersJudged = true;
    if (status != 200) {
        fail(updateError(updateMessages::downloadFailed));
        return;
    }
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > m_plan.maximumBytes)
        fail(updateError(updateMessages::badSize));
}

void UpdateDownload::readAvailable(bool drain) {
    if (!m_reply || m_failure)
        return;
    judgeHeaders();
    // Nothing of a redirect that is being followed belongs to the image.
    if (!m_headersJudged)
        return;
    while (!m_failure && m_reply->bytesAvailable() > 0 &&
           (drain || m_unacknowledged < readAheadBytes)) {
        const QByteArray chunk = m_reply->read(Sha256::chunkBytes);
        m_received += chunk.size();
        if (m_received > m_plan.maximumBytes) {
            fail(updateError(updateMessages::badSize));
            return;
        }
        sendToSink(chunk);
    }
}

void UpdateDownload::sendToSink(const QByteArray& chunk) {
    m_unacknowledged += chunk.size();
    DownloadSink* sink = m_sink.get();
    QMetaObject::invokeMethod(
        sink,
        [this, sink, chunk] {
            sink->consume(chunk);
            const qint64 bytes = chunk.size();
            QMetaObject::invokeMethod(
                this, [this, bytes] { acknowledge(bytes); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void UpdateDownload::acknowledge(qint64 bytes) {
    m_unacknowledged -= bytes;
    readAvailable(false);
}

void UpdateDownload::fail(const UpdateError& error) {
    m_failure = error;
    if (m_reply && m_reply->isRunning())
        m_reply->abort();
}

void UpdateDownload::replyFinished() {
    if (!m_failure) {
        const int status = httpStatus(*m_reply);
        if (status != 0 && status != 200)
            m_failure = updateError(updateMessages::downloadFailed);
        else if (m_reply->error() != QNetworkReply::NoError)
            m_failure = transportError(*m_reply);
        else if (status == 0)
            m_failure = updateError(updateMessages::downloadFailed);
    }
    readAvailable(true);
    askSink(m_failure.has_value());
}

void UpdateDownload::askSink(bool abandon) {
    DownloadSink* sink = m_sink.get();
    const std::optional<UpdateError> failure = m_failure;
    QMetaObject::invokeMethod(
        sink,
        [this, sink, abandon, failure] {
            DownloadResult result;
            if (abandon) {
                sink->abandon();
                result = *failure;
            } else {
                result = sink->finish();
            }
            QMetaObject::invokeMethod(
                this, [this, result] { deliver(result); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void UpdateDownload::deliver(const DownloadResult& result) {
    if (m_delivered)
        return;
    m_delivered = true;
    m_thread.quit();
    emit finished(result);
}

} // namespace kestrel
