#include "MacDesktop.h"

#include "platform/SystemServices.h"

#include <QDesktopServices>
#include <QPointer>

#import <AppKit/AppKit.h>

namespace kestrel {

bool MacDesktop::openUrl(const QUrl& url) {
    return QDesktopServices::openUrl(url);
}

// The Finder is always there to show the file.
void MacDesktop::revealFile(const QString& path, std::function<void()>) {
    NSURL* file = [NSURL fileURLWithPath:path.toNSString()];
    [[NSWorkspace sharedWorkspace] activateFileViewerSelectingURLs:@[ file ]];
}

void MacDesktop::activateApplication() {
    [NSApp activateIgnoringOtherApps:YES];
}

MacWakeWatcher::~MacWakeWatcher() {
    stop();
}

void MacWakeWatcher::start() {
    if (m_observer)
        return;
    QPointer<MacWakeWatcher> self(this);
    id observer = [[[NSWorkspace sharedWorkspace] notificationCenter]
        addObserverForName:NSWorkspaceDidWakeNotification
                    object:nil
                     queue:[NSOperationQueue mainQueue]
                usingBlock:^(NSNotification*) {
                  if (self)
                      emit self->didWake();
                }];
    m_observer = (__bridge_retained void*)observer;
}

void MacWakeWatcher::stop() {
    if (!m_observer)
        return;
    id observer = (__bridge_transfer id)m_observer;
    [[[NSWorkspace sharedWorkspace] notificationCenter] removeObserver:observer];
    m_observer = nullptr;
}

void becomeAccessoryApplication() {
    [NSApp setActivationPolicy:NSApplicationActivationPolicyAccessory];
}

} // namespace kestrel
