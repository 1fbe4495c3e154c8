#include "platform/PortListeners.h"

#include <QFile>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel {

namespace {

constexpr unsigned tcpListen = 10; // the kernel's TCP_LISTEN state

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

// Asks the kernel for the listening TCP sockets of `family` (what `ss -ltn`
// shows). Only the listening table is walked, so this stays fast however
// many connections the computer has. False when the request fails.
bool addSockDiagListeners(int fd, int family, quint16 port, PortListeners& into) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = quint8(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << tcpListen;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return false;
    const uint ownUid = ::getuid();
    alignas(nlmsghdr) char buffer[32768];
    for (;;) {
        ssize_t length = ::recv(fd, buffer, sizeof buffer, 0);
        if (length <= 0)
            return false;
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_type == NLMSG_DONE)
                return true;
            if (header->nlmsg_type == NLMSG_ERROR)
                return false;
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY)
                continue;
            const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            if (ntohs(socket->id.idiag_sport) != port)
                continue;
            const QByteArray address(reinterpret_cast<const char*>(socket->id.idiag_src),
                                     family == AF_INET ? 4 : 16);
            if (!reachesLoopback(address))
                continue;
            if (socket->idiag_uid == ownUid)
                into.own = true;
            else
                into.foreignUids.push_back(socket->idiag_uid);
        }
    }
}

std::optional<PortListeners> scanWithSockDiag(quint16 port) {
    const Descriptor netlink{::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)};
    if (netlink.fd < 0)
        return std::nullopt;
    PortListeners listeners;
    if (!addSockDiagListeners(netlink.fd, AF_INET, port, listeners))
        return std::nullopt;
    // A kernel without IPv6 refuses the second request; nothing listens there.
    if (!addSockDiagListeners(netlink.fd, AF_INET6, port, listeners) &&
        QFile::exists(QStringLiteral("/proc/net/tcp6")))
        return std::nullopt;
    return listeners;
}

} // namespace

PortListeners scanPortListeners(quint16 port) {
    if (std::optional<PortListeners> listeners = scanWithSockDiag(port))
        return *listeners;
    // The same rows as text; reading them walks every connection of the
    // computer, which takes milliseconds.
    PortListeners listeners;
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile table(QString::fromLatin1(path));
        if (table.open(QIODevice::ReadOnly))
            addProcNetTcpListeners(table.readAll(), port, ::getuid(), listeners);
    }
    return listeners;
}

} // namespace kestrel
