#include "platform/PortListeners.h"

#include <arpa/inet.h>
#include <libproc.h>
#include <netinet/in.h>
#include <sys/proc_info.h>
#include <unistd.h>
#include <vector>

namespace kestrel {

namespace {

bool reachesLoopback(const in_sockinfo& socket) {
    if (socket.insi_vflag & INI_IPV4) {
        const in_addr address = socket.insi_laddr.ina_46.i46a_addr4;
        const uint32_t host = ntohl(address.s_addr);
        return host == INADDR_ANY || (host >> 24) == IN_LOOPBACKNET;
    }
    if (socket.insi_vflag & INI_IPV6) {
        const in6_addr& address = socket.insi_laddr.ina_6;
        return IN6_IS_ADDR_UNSPECIFIED(&address) || IN6_IS_ADDR_LOOPBACK(&address);
    }
    return false;
}

// The TCP sockets of `pid` that listen on `port` where loopback reaches.
bool listensOn(pid_t pid, quint16 port) {
    const int needed = proc_pidinfo(pid, PROC_PIDLISTFDS, 0, nullptr, 0);
    if (needed <= 0)
        return false;
    // Room for descriptors opened between the two calls.
    std::vector<proc_fdinfo> descriptors(size_t(needed) / PROC_PIDLISTFD_SIZE + 16);
    const int filled = proc_pidinfo(pid, PROC_PIDLISTFDS, 0, descriptors.data(),
                                    int(descriptors.size() * PROC_PIDLISTFD_SIZE));
    if (filled <= 0)
        return false;
    descriptors.resize(size_t(filled) / PROC_PIDLISTFD_SIZE);
    for (const proc_fdinfo& descriptor : descriptors) {
        if (descriptor.proc_fdtype != PROX_FDTYPE_SOCKET)
            continue;
        socket_fdinfo info{};
        if (proc_pidfdinfo(pid, descriptor.proc_fd, PROC_PIDFDSOCKETINFO, &info,
                           PROC_PIDFDSOCKETINFO_SIZE) != PROC_PIDFDSOCKETINFO_SIZE)
            continue;
        if (info.psi.soi_kind != SOCKINFO_TCP)
            continue;
        const tcp_sockinfo& tcp = info.psi.soi_proto.pri_tcp;
        if (tcp.tcpsi_state == TSI_S_LISTEN &&
            ntohs(static_cast<uint16_t>(tcp.tcpsi_ini.insi_lport)) == port &&
            reachesLoopback(tcp.tcpsi_ini))
            return true;
    }
    return false;
}

} // namespace

// Other users' sockets cannot be inspected here, so only our own listener is
// looked for; a port that answers without one is someone else's.
PortListeners scanPortListeners(quint16 port) {
    PortListeners listeners;
    const uid_t uid = ::getuid();
    const int needed = proc_listpids(PROC_UID_ONLY, uid, nullptr, 0);
    if (needed <= 0)
        return listeners;
    std::vector<pid_t> pids(size_t(needed) / sizeof(pid_t) + 64);
    const int filled =
        proc_listpids(PROC_UID_ONLY, uid, pids.data(), int(pids.size() * sizeof(pid_t)));
    if (filled <= 0)
        return listeners;
    pids.resize(size_t(filled) / sizeof(pid_t));
    for (const pid_t pid : pids)
        if (pid > 0 && listensOn(pid, port)) {
            listeners.own = true;
            break;
        }
    return listeners;
}

} // namespace kestrel
