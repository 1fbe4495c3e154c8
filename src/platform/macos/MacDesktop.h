#pragma once

#include "platform/Platform.h"

namespace kestrel {

class MacDesktop final : public Desktop {
public:
    bool openUrl(const QUrl& url) override;
    void revealFile(const QString& path, std::function<void()> failed) override;
    void activateApplication() override;
};

// NSWorkspace's did-wake notification, delivered on the main queue.
class MacWakeWatcher final : public WakeWatcher {
    Q_OBJECT
public:
    using WakeWatcher::WakeWatcher;
    ~MacWakeWatcher() override;
    void start() override;
    void stop() override;

private:
    // The observer token returned by the notification centre (an id).
    void* m_observer = nullptr;
};

} // namespace kestrel
