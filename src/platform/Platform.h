#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;

// Services the controller needs from the operating system. Each has a Linux
// and a macOS implementation; tests hand the controller fakes where the real
// one needs a desktop session.
namespace kestrel {

class LoginItem {
public:
    enum class Status { Enabled, NotRegistered, RequiresApproval, NotFound };

    virtual ~LoginItem() = default;
    // False where the system has no per-application login items we can manage.
    virtual bool isSupported() const = 0;
    virtual Status status() const = 0;
    // Registers (true) or unregisters (false) the application; the error's
    // readable description on failure.
    virtual std::optional<QString> setRegistered(bool registered) = 0;
};

class Desktop {
public:
    virtual ~Desktop() = default;
    // False when no program could be asked to open the address.
    virtual bool openUrl(const QUrl& url) = 0;
    // Shows the file selected in the file manager, or at least its folder;
    // `failed` runs, perhaps later, when neither could be shown.
    virtual void revealFile(const QString& path, std::function<void()> failed) = 0;
    // Brings the application in front of other applications' windows.
    virtual void activateApplication() = 0;
};

// Emits didWake() once each time the computer resumes from sleep.
class WakeWatcher : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void start() = 0;
    virtual void stop() = 0;

signals:
    void didWake();
};

// A stand-alone agent installed by older versions: its service description
// file and the tool call that stops the service.
struct LegacyInstall {
    QString serviceFile;
    QString program;
    QStringList arguments;
    // Where links that start the service at login may point at the file:
    // links of its name in this folder's "*.wants" subfolders (Linux).
    QString enablementFolder;
    // The tool's call that makes the service manager forget the deleted
    // file; none when empty.
    QStringList reloadArguments;
};

// The three HTTP sessions come from here, so tests can route the update host
// to a local server or trust a test certificate.
class NetworkFactory {
public:
    virtual ~NetworkFactory() = default;
    virtual QNetworkAccessManager* create(QObject* parent) = 0;
};

struct PlatformServices {
    std::unique_ptr<LoginItem> loginItem;
    std::unique_ptr<Desktop> desktop;
    std::unique_ptr<WakeWatcher> wakeWatcher;
    std::unique_ptr<NetworkFactory> networkFactory;
    LegacyInstall legacyInstall;
    QString logFilePath;
    QString downloadsFolder;
    // Whether the desktop shows tray items; the system's answer when empty.
    std::function<bool()> trayAvailable;
};

// The real services of the platform the application was built for.
PlatformServices systemPlatformServices();

} // namespace kestrel
