#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

namespace kestrel {

// Links the system hands to the running application as URL-open events (how
// macOS delivers a link of the application's scheme). Install it on the
// application object:
//
//     UrlOpenEvents urlEvents;
//     application.installEventFilter(&urlEvents);
//     connect(&urlEvents, &UrlOpenEvents::linksReceived, &delegate, &AppDelegate::openUrls);
class UrlOpenEvents : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    // One event carries one link.
    void linksReceived(const QList<QUrl>& links);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace kestrel
