#include "UrlOpenEvents.h"

#include <QFileOpenEvent>

namespace kestrel {

bool UrlOpenEvents::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::FileOpen)
        return QObject::eventFilter(watched, event);
    const QUrl url = static_cast<QFileOpenEvent*>(event)->url();
    // A document opened by file name is none of ours; only links are taken.
    if (url.isLocalFile() || url.isEmpty())
        return QObject::eventFilter(watched, event);
    emit linksReceived({url});
    return true;
}

} // namespace kestrel
