#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;

namespace kestrel {

// One running application per user. A second start hands its command-line
// links (or, with none, a request to show the window) to the running instance
// over a local socket and exits.
//
// The socket lives in the user's runtime folder (XDG_RUNTIME_DIR when it is a
// private folder of this user, else a private per-user folder under the
// temporary folder), is created for the owner only, and connections from
// another user are dropped, so no other local account can inject links.
//
//     const QStringList links = application.arguments().mid(1);
//     SingleInstance instance;
//     if (instance.forwardToRunning(links))
//         return 0;               // the running instance took them
//     instance.listen();          // this process is the primary from here on
//     connect(&instance, &SingleInstance::linksReceived, &delegate, &AppDelegate::openUrls);
//     connect(&instance, &SingleInstance::showRequested, &delegate, &AppDelegate::showWindow);
//     delegate.applicationDidFinishLaunching();
//     if (!links.isEmpty())       // its own links, once launched
//         delegate.openUrls(SingleInstance::linksFromArguments(links));
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // Uses defaultFolder().
    explicit SingleInstance(QObject* parent = nullptr);
    // Uses `folder` for the socket, which must already be private to the user.
    SingleInstance(const QString& folder, QObject* parent);
    ~SingleInstance() override;

    // The per-user folder for the socket, created if needed; empty when no
    // folder private to this user can be had.
    static QString defaultFolder();
    // Each argument as a link, exactly as written (strict parsing).
    static QList<QUrl> linksFromArguments(const QStringList& arguments);

    QString socketPath() const;

    // Hands `arguments` (the links given on the command line, possibly none)
    // to an instance of this user that already runs. True when one took them.
    // Blocks for at most a few seconds; call before the event loop runs. When
    // it returns false, the object holds a start-up lock until listen(), so
    // two instances started together cannot both become the primary.
    bool forwardToRunning(const QStringList& arguments);

    // Becomes the primary: listens on the socket, replacing one left behind by
    // an instance that died. False when the socket cannot be had; the
    // application then runs without it.
    bool listen();

signals:
    // The links a later start was given, in order; one start, one signal.
    void linksReceived(const QList<QUrl>& links);
    // A later start was given no link.
    void showRequested();

private:
    void acceptConnections();
    void readMessage(QLocalSocket* socket);

    QString m_folder;
    std::unique_ptr<QLockFile> m_startLock;
    QLocalServer* m_server = nullptr;
};

} // namespace kestrel
