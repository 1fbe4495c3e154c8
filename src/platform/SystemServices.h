#pragma once

#include "Platform.h"

#include <QObject>

namespace kestrel {

// Plain sessions: each caller configures its own limits and policies.
class DefaultNetworkFactory final : public NetworkFactory {
public:
    QNetworkAccessManager* create(QObject* parent) override;
};

// The user's Downloads folder, ~/Downloads when the system names none.
QString defaultDownloadsFolder();

// Turns SIGTERM and SIGINT into a Qt signal on the main thread, so a desktop
// logout or Ctrl+C ends in the same orderly shutdown as a quit from the menu.
class TerminationSignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignalWatcher(QObject* parent = nullptr);
    ~TerminationSignalWatcher() override;

signals:
    void terminationRequested(int signalNumber);

private:
    void readSignal();
};

// Makes the application a menu-bar-only one (no Dock icon); nothing to do
// where there is no Dock.
void becomeAccessoryApplication();

} // namespace kestrel
