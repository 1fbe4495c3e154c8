#pragma once

#include "platform/Platform.h"

namespace kestrel {

class LinuxDesktop final : public Desktop {
public:
    bool openUrl(const QUrl& url) override;
    // Asks the file manager to select the file over D-Bus; opens the folder
    // when no file manager answers.
    void revealFile(const QString& path, std::function<void()> failed) override;
    void activateApplication() override {}
};

// logind announces sleep and wake with PrepareForSleep(bool) on the system
// bus; false means the machine has just resumed. Without a system bus (a
// container, CI) the watcher stays silent.
class LogindWakeWatcher final : public WakeWatcher {
    Q_OBJECT
public:
    using WakeWatcher::WakeWatcher;
    void start() override;
    void stop() override;

private slots:
    void prepareForSleep(bool sleeping);

private:
    bool m_connected = false;
};

} // namespace kestrel
