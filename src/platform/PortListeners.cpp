#include "PortListeners.h"

#include <QList>
#include <array>
#include <cstring>

namespace kestrel {

namespace {

constexpr QByteArrayView listenState = "0A";

// The kernel prints each 32-bit word of an address as a host-order number,
// so the word's bytes in memory are the address's bytes in order.
std::optional<QByteArray> addressBytes(QByteArrayView hex) {
    if (hex.size() != 8 && hex.size() != 32)
        return std::nullopt;
    QByteArray bytes;
    for (qsizetype at = 0; at < hex.size(); at += 8) {
        bool ok = false;
        const quint32 word = hex.sliced(at, 8).toUInt(&ok, 16);
        if (!ok)
            return std::nullopt;
        std::array<char, 4> raw{};
        std::memcpy(raw.data(), &word, raw.size());
        bytes.append(raw.data(), raw.size());
    }
    return bytes;
}

} // namespace

bool reachesLoopback(const QByteArray& address) {
    const auto zeros = [&](qsizetype from, qsizetype count) {
        return address.mid(from, count).count('\0') == count;
    };
    const auto ipv4 = [&](qsizetype at) { return address.at(at) == 127 || zeros(at, 4); };
    if (address.size() == 4)
        return ipv4(0);
    if (address.size() != 16)
        return false;
    if (zeros(0, 15) && (address.at(15) == 0 || address.at(15) == 1)) // :: and ::1
        return true;
    // An IPv4 address mapped into IPv6 (::ffff:127.0.0.1, ::ffff:0.0.0.0).
    return zeros(0, 10) && address.mid(10, 2) == QByteArray(2, '\xff') && ipv4(12);
}

void addProcNetTcpListeners(QByteArrayView table, quint16 port, uint ownUid, PortListeners& into) {
    const QList<QByteArray> lines = table.toByteArray().split('\n');
    // sl local_address rem_address st tx:rx tr:when retrnsmt uid …; the
    // first line names the columns.
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> columns = lines.at(i).simplified().split(' ');
        if (columns.size() < 8 || columns.at(3) != listenState)
            continue;
        const QList<QByteArray> local = columns.at(1).split(':');
        bool portOk = false, uidOk = false;
        const uint rowPort = local.size() == 2 ? local.at(1).toUInt(&portOk, 16) : 0;
        const uint uid = columns.at(7).toUInt(&uidOk);
        const std::optional<QByteArray> address =
            local.size() == 2 ? addressBytes(local.at(0)) : std::nullopt;
        if (!portOk || !uidOk || rowPort != port || !address || !reachesLoopback(*address))
            continue;
        if (uid == ownUid)
            into.own = true;
        else
            into.foreignUids.push_back(uid);
    }
}

std::optional<QString> foreignListener(const PortListeners& listeners, bool answered) {
    if (!listeners.foreignUids.empty())
        return QString::number(listeners.foreignUids.front());
    if (answered && !listeners.own)
        return QStringLiteral("unknown");
    return std::nullopt;
}

} // namespace kestrel
