#pragma once

#include <QByteArrayView>
#include <QString>
#include <optional>
#include <vector>

namespace kestrel {

// Who listens on a TCP port at the addresses a loopback client reaches: the
// loopback addresses and the wildcard ones (IPv4 and IPv6).
struct PortListeners {
    // A listener of this user was found.
    bool own = false;
    // The users of the other listeners, where the system shows them (Linux
    // shows every user's sockets; macOS only lets us look at our own).
    std::vector<uint> foreignUids;
};

// Whether a listener bound to `address` (4 or 16 bytes, network order) takes
// loopback connections: a loopback address, a wildcard one, or either mapped
// into IPv6.
bool reachesLoopback(const QByteArray& address);

// Adds the listening rows for `port` of a /proc/net/tcp or /proc/net/tcp6
// table to `into`; rows of `ownUid` count as own, the others as foreign.
void addProcNetTcpListeners(QByteArrayView table, quint16 port, uint ownUid, PortListeners& into);

// The listeners of `port`, as this platform can see them.
PortListeners scanPortListeners(quint16 port);

// The other user's id ("unknown" when the system does not say) when the port
// cannot be trusted with the secret: another user listens on it, or it
// `answered` and none of this user's processes listens on it.
std::optional<QString> foreignListener(const PortListeners& listeners, bool answered);

} // namespace kestrel
