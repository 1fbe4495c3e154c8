#pragma once

#include "update/AvailableUpdate.h"
#include "update/DownloadSink.h"

#include <QObject>
#include <QPointer>
#include <QThread>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace kestrel {

struct DownloadPlan {
    AvailableUpdate build;
    QString appVersion;
    QString downloadsFolder;
    qint64 maximumBytes = 0;
};

// One download of an update image into the Downloads folder. The network
// reply is read on the creating thread; hashing and file work happen on a
// worker thread of the download's own, and the outcome comes back by one
// queued call. Destroying the download stops it and leaves no partial file.
class UpdateDownload : public QObject {
    Q_OBJECT
public:
    UpdateDownload(QNetworkAccessManager& session, DownloadPlan plan, QObject* parent = nullptr);
    ~UpdateDownload() override;

    void start();
    const DownloadPlan& plan() const { return m_plan; }

signals:
    // `total` is -1 while the size is unknown.
    void progress(qint64 received, qint64 total);
    // Emitted once.
    void finished(const kestrel::DownloadResult& result);

private:
    void judgeHeaders();
    void readAvailable(bool drain);
    void acknowledge(qint64 bytes);
    void replyFinished();
    void fail(const UpdateError& error);
    void sendToSink(const QByteArray& chunk);
    void askSink(bool abandon);
    void deliver(const DownloadResult& result);

    QNetworkAccessManager& m_session;
    const DownloadPlan m_plan;
    QPointer<QNetworkReply> m_reply;
    QThread m_thread;
    std::unique_ptr<DownloadSink> m_sink;
    qint64 m_received = 0;
    qint64 m_unacknowledged = 0;
    bool m_headersJudged = false;
    bool m_delivered = false;
    std::optional<UpdateError> m_failure;
};

} // namespace kestrel
