// What the service announces on the local network: its DNS-SD names and the
// records that answer each question, written for announcements, answers,
// probes and goodbyes, and the reading of a peer's claim on the same name.
#pragma once

#include <stdint.h>

#include "protocol/dns_message.h"

// Record times to live: those naming the host (SRV, A) are short, because
// hosts come and go; the rest long.
enum : uint32_t { MDNS_HOST_TTL = 120, MDNS_OTHER_TTL = 4500, MDNS_LEGACY_TTL = 10 };

// The records, as bits of a set.
enum : unsigned {
    MDNS_SERVICES_PTR = 1, // _services._dns-sd._udp.local -> the type
    MDNS_TYPE_PTR = 2,     // the type -> the instance
    MDNS_SRV = 4,
    MDNS_TXT = 8,
    MDNS_A = 16,
    MDNS_ALL = 31,
    // The unique records: a cache holds no other data for their names.
    MDNS_UNIQUE = MDNS_SRV | MDNS_TXT | MDNS_A,
};

enum { MDNS_RECORDS = 5 };

struct MdnsIdentity {
    DnsName Instance; // "<name>._tonvale._tcp.local"
    DnsName Type;     // "_tonvale._tcp.local"
    DnsName Services; // "_services._dns-sd._udp.local"
    DnsName Host;     // "<computer>.local"
    uint16_t Port;
};

enum class MdnsTtl { Normal, Goodbye, Legacy };

// Labels in UTF-8; false when one is empty or longer than a label can be.
bool SetMdnsIdentity(MdnsIdentity *identity, const char *instance, const char *host, uint16_t port);
// The records that answer one question.
unsigned MdnsAnswersTo(const MdnsIdentity &identity, const DnsQuestion &question);
// What a response adds to its answers so that the asker need not ask again.
unsigned MdnsAdditionalsFor(unsigned answers);
// Drops the shared answers that the asker listed as known with at least half
// their time to live left.
unsigned MdnsDropKnownAnswers(const MdnsIdentity &identity, const DnsMessage &query,
                              unsigned answers);
void WriteMdnsRecords(DnsWriter *writer, DnsSection section, const MdnsIdentity &identity,
                      unsigned records, const uint8_t address[4], MdnsTtl ttl);
// A probe: "who has this instance name?", with the data we would give it.
size_t BuildMdnsProbe(const MdnsIdentity &identity, const uint8_t address[4], uint8_t *buffer,
                      size_t capacity);

// A peer's response that gives our instance name other data than ours.
bool MdnsResponseConflicts(const MdnsIdentity &identity, const DnsMessage &response);
// A peer probing for our instance name at the same time: below zero when its
// proposed data sorts after ours (it wins and we must wait), zero when it is
// ours (our own probe, looped back) or not a probe for our name.
int MdnsProbeTiebreak(const MdnsIdentity &identity, const DnsMessage &query);

// "Name", or "Name (n)" for n above 1, cut so that it stays one label.
void NumberedMdnsName(char *out, size_t capacity, const char *base, int number);
