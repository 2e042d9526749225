// The responder's record, shared by its thread (mdns_responder.cpp) and its
// schedule of probes, announcements and multicast answers (mdns_schedule.cpp).
// Only the responder's thread touches it between start and stop.
#pragma once

#include <windows.h>
#include <winsock2.h>

#include "protocol/dns_message.h"
#include "protocol/mdns_link.h"
#include "service/log_file.h"
#include "service/mdns_records.h"
#include "service/mdns_responder.h"

enum class MdnsPhase { Probing, Announcing, Serving };

// The timings of multicast DNS: three probes a quarter second apart, two
// announcements a second apart, no record multicast twice within a second on
// a link (a quarter second when defending the name against a probe).
enum : DWORD {
    PROBE_GAP_MS = 250,
    ANNOUNCE_GAP_MS = 1000,
    RECORD_GAP_MS = 1000,
    DEFEND_GAP_MS = 250,
    LOST_TIEBREAK_MS = 1000,
    CONFLICT_PAUSE_MS = 5000,
    LINK_CHECK_MS = 3000,
};
enum { PROBES = 3, ANNOUNCEMENTS = 2, UNICAST_PER_SECOND = 32, PACKETS_PER_WAKE = 64 };

struct MdnsLinkState {
    MdnsLink Link;
    DWORD LastSent[MDNS_RECORDS];
    unsigned Due;
    bool Defending;
};

struct MdnsResponder {
    HANDLE Thread = nullptr;
    HANDLE StopEvent = nullptr;
    WSAEVENT SocketEvent = WSA_INVALID_EVENT;
    SOCKET Socket = INVALID_SOCKET;
    CLogFile *Log = nullptr;
    char BaseName[DNS_LABEL_MAX + 1] = {};
    char HostLabel[DNS_LABEL_MAX + 1] = {};
    int Number = 1;
    MdnsIdentity Identity = {};
    MdnsLinkState Links[MDNS_LINKS_MAX] = {};
    int LinkCount = 0;
    MdnsPhase Stage = MdnsPhase::Probing;
    int Step = 0;
    DWORD StepAt = 0, DueAt = 0, LinkCheckAt = 0;
    bool Announced = false, AnyDue = false;
    DWORD UnicastWindow = 0, ConflictWindow = 0;
    int UnicastSent = 0, Conflicts = 0;
    uint32_t Random = 1;
    DnsMessage Received; // too large for the thread's stack
    uint8_t Packet[DNS_MESSAGE_MAX];
};

// mdns_schedule.cpp
DWORD RandomBelow(MdnsResponder *r, DWORD bound);
bool Reached(DWORD now, DWORD at);
bool TakeName(MdnsResponder *r);
void StartProbing(MdnsResponder *r, DWORD delay);
void Rename(MdnsResponder *r);
void RunSteps(MdnsResponder *r, DWORD now);
void SendDue(MdnsResponder *r, DWORD now);
void CheckLinks(MdnsResponder *r, DWORD now);
void MulticastEverywhere(MdnsResponder *r, MdnsTtl ttl);
size_t BuildResponse(MdnsResponder *r, uint8_t *buffer, size_t capacity, const MdnsLinkState &link,
                     unsigned records, MdnsTtl ttl, const DnsMessage *legacyQuery);
