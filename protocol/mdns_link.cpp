// Links and the multicast group, on plain Winsock: the interface list comes
// from SIO_GET_INTERFACE_LIST, which needs no other system library.
#include "protocol/mdns_link.h"

#include <ws2tcpip.h>

#include "protocol/dns_message.h"

namespace {

// The layout of the interface list's entries (INTERFACE_INFO), declared here
// because the toolchain's headers lack it.
struct LinkAddress {
    union {
        sockaddr Any;
        sockaddr_in V4;
        char Room[24];
    };
};
struct InterfaceEntry {
    ULONG Flags;
    LinkAddress Address, Broadcast, Mask;
};
static_assert(sizeof(InterfaceEntry) == 76, "INTERFACE_INFO is 76 bytes");

enum : DWORD { GET_INTERFACE_LIST = 0x4004747F }; // _IOR('t', 127, u_long)
enum : ULONG { LINK_UP = 1, LINK_LOOPBACK = 4, LINK_MULTICAST = 16 };

const uint32_t GroupAddress = 0xE00000FB; // 224.0.0.251, host order

} // namespace

int ListMdnsLinks(SOCKET any, MdnsLink *links, int capacity) {
    InterfaceEntry entries[32];
    DWORD bytes = 0;
    if (WSAIoctl(any, GET_INTERFACE_LIST, nullptr, 0, entries, sizeof entries, &bytes, nullptr,
                 nullptr) == SOCKET_ERROR)
        return 0;
    int count = 0;
    for (DWORD i = 0; i < bytes / sizeof entries[0] && count < capacity; i++) {
        const InterfaceEntry &entry = entries[i];
        if ((entry.Flags & (LINK_UP | LINK_MULTICAST)) != (LINK_UP | LINK_MULTICAST) ||
            (entry.Flags & LINK_LOOPBACK) || entry.Address.Any.sa_family != AF_INET ||
            entry.Address.V4.sin_addr.s_addr == 0)
            continue;
        links[count].Address = entry.Address.V4.sin_addr.s_addr;
        links[count].Mask = entry.Mask.V4.sin_addr.s_addr;
        count++;
    }
    return count;
}

int FindMdnsLink(const MdnsLink *links, int count, uint32_t source) {
    for (int i = 0; i < count; i++)
        if (((source ^ links[i].Address) & links[i].Mask) == 0)
            return i;
    return -1;
}

bool SameMdnsLinks(const MdnsLink *a, int countA, const MdnsLink *b, int countB) {
    if (countA != countB)
        return false;
    for (int i = 0; i < countA; i++)
        if (a[i].Address != b[i].Address || a[i].Mask != b[i].Mask)
            return false;
    return true;
}

SOCKET OpenMdnsSocket(uint16_t port) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return s;
    // The system's own DNS client may hold 5353 already: share it.
    BOOL on = TRUE;
    DWORD hops = 255;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on), sizeof on) ==
            SOCKET_ERROR ||
        bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == SOCKET_ERROR ||
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<const char *>(&hops),
                   sizeof hops) == SOCKET_ERROR) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

bool JoinMdnsGroup(SOCKET socket, uint32_t linkAddress, bool join) {
    ip_mreq request = {};
    request.imr_multiaddr.s_addr = htonl(GroupAddress);
    request.imr_interface.s_addr = linkAddress;
    return setsockopt(socket, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP,
                      reinterpret_cast<const char *>(&request), sizeof request) != SOCKET_ERROR;
}

bool SendToMdnsGroup(SOCKET socket, uint32_t linkAddress, const uint8_t *data, size_t size) {
    in_addr link;
    link.s_addr = linkAddress;
    if (setsockopt(socket, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char *>(&link),
                   sizeof link) == SOCKET_ERROR)
        return false;
    sockaddr_in group = {};
    group.sin_family = AF_INET;
    group.sin_port = htons(MDNS_PORT);
    group.sin_addr.s_addr = htonl(GroupAddress);
    return sendto(socket, reinterpret_cast<const char *>(data), static_cast<int>(size), 0,
                  reinterpret_cast<sockaddr *>(&group), sizeof group) == static_cast<int>(size);
}

int ReceiveMdnsMessage(SOCKET socket, uint8_t *buffer, size_t capacity, sockaddr_in *from) {
    int fromLength = sizeof *from;
    int got = recvfrom(socket, reinterpret_cast<char *>(buffer), static_cast<int>(capacity), 0,
                       reinterpret_cast<sockaddr *>(from), &fromLength);
    if (got == SOCKET_ERROR)
        return WSAGetLastError() == WSAEWOULDBLOCK ? -1 : 0;
    return fromLength >= static_cast<int>(sizeof *from) && from->sin_family == AF_INET ? got : 0;
}
