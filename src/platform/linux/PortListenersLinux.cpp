#include "platform/PortListeners.h"

#include <QFile>
#include <unistd.h>

namespace kestrel {

PortListeners scanPortListeners(quint16 port) {
    PortListeners listeners;
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile table(QString::fromLatin1(path));
        // A kernel without IPv6 has no tcp6 table; nothing listens there.
        if (table.open(QIODevice::ReadOnly))
            addProcNetTcpListeners(table.readAll(), port, ::getuid(), listeners);
    }
    return listeners;
}

} // namespace kestrel
