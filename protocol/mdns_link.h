// The IPv4 links that multicast DNS works on, and the group's socket calls:
// joining on a link, sending on a link. Machines with virtual adapters have
// more than one link, and the default one is often not the one the peers are
// on, so both the responder and the browser use every link.
#pragma once

#include <stdint.h>
#include <winsock2.h>

// Addresses and masks in network byte order.
struct MdnsLink {
    uint32_t Address;
    uint32_t Mask;
};

enum { MDNS_LINKS_MAX = 16 };

// The up, multicast-capable, non-loopback IPv4 links, at most `capacity`.
int ListMdnsLinks(SOCKET any, MdnsLink *links, int capacity);
// The link whose subnet holds `source`, or -1: answers go only to peers on a
// link of this machine.
int FindMdnsLink(const MdnsLink *links, int count, uint32_t source);
bool SameMdnsLinks(const MdnsLink *a, int countA, const MdnsLink *b, int countB);
// A UDP socket for multicast DNS: bound to `port` on every address (shared
// with other responders when it is 5353), with a hop limit of 255 as peers
// require. INVALID_SOCKET on failure.
SOCKET OpenMdnsSocket(uint16_t port);
bool JoinMdnsGroup(SOCKET socket, uint32_t linkAddress, bool join);
// Reads one waiting datagram of a non-blocking socket: its size, 0 for one
// dropped (too large, an error report, not from IPv4), or -1 when none waits.
int ReceiveMdnsMessage(SOCKET socket, uint8_t *buffer, size_t capacity, sockaddr_in *from);
// Sends one message to 224.0.0.251:5353 out of the given link.
bool SendToMdnsGroup(SOCKET socket, uint32_t linkAddress, const uint8_t *data, size_t size);
