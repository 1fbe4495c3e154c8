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
// private folder of this user, else a private folder in the user's cache
// folder, which no other user can create first), is created for the owner
// only, and connections from another user are dropped, so no other local
// account can inject links or switch the channel off.
//
//     const QStringList links = application.arguments().mid(1);
//     SingleInstance instance;
//     switch (instance.forwardToRunning(links)) {
//     case SingleInstance::Handover::Delivered: return 0;  // the running instance took them
//     case SingleInstance::Handover::Failed: return 1;     // never a second application
//     case SingleInstance::Handover::NoInstance: break;
//     }
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

    enum class Handover {
        // No instance runs: this process may become the primary.
        NoInstance,
        // The running instance took the arguments.
        Delivered,
        // An instance runs but did not take them (too long, refused, no
        // answer in time); this process must not become a second one.
        Failed,
    };

    // Hands `arguments` (the links given on the command line, possibly none)
    // to an instance of this user that already runs. Blocks for at most a few
    // seconds; call before the event loop runs. After NoInstance the object
    // holds a start-up lock until listen(), so two instances started together
    // cannot both become the primary.
    Handover forwardToRunning(const QStringList& arguments);

    // Overwrites the command line after the program name in place, so the
    // process list stops showing what a link carried.
    static void eraseArguments(int argc, char** argv);

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
