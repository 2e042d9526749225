// The responder's schedule: probes, announcements, answers held back and
// rate-limited per link, goodbyes, and the watch on the machine's links.
#include <stdio.h>
#include <string.h>

#include "service/mdns_state.h"

bool Reached(DWORD now, DWORD at) {
    return static_cast<LONG>(now - at) >= 0;
}

DWORD RandomBelow(MdnsResponder *r, DWORD bound) {
    r->Random ^= r->Random << 13;
    r->Random ^= r->Random >> 17;
    r->Random ^= r->Random << 5;
    return r->Random % bound;
}

static void AddressOf(const MdnsLinkState &link, uint8_t address[4]) {
    memcpy(address, &link.Link.Address, 4);
}

// One response message with `records` as answers and what they imply as
// additionals; 0 when it did not fit.
size_t BuildResponse(MdnsResponder *r, uint8_t *buffer, size_t capacity, const MdnsLinkState &link,
                     unsigned records, MdnsTtl ttl, const DnsMessage *legacyQuery) {
    uint8_t address[4];
    AddressOf(link, address);
    DnsWriter writer;
    DnsWriterStart(&writer, buffer, capacity, legacyQuery ? legacyQuery->Header.Id : 0,
                   DNS_FLAG_RESPONSE | DNS_FLAG_AUTHORITATIVE);
    // A legacy resolver matches the answer to its question, so it gets it back.
    for (int i = 0; legacyQuery && i < legacyQuery->QuestionCount; i++)
        DnsWriteQuestion(&writer, legacyQuery->Questions[i].Name, legacyQuery->Questions[i].Type,
                         false);
    WriteMdnsRecords(&writer, DnsSection::Answer, r->Identity, records, address, ttl);
    if (ttl != MdnsTtl::Goodbye)
        WriteMdnsRecords(&writer, DnsSection::Additional, r->Identity, MdnsAdditionalsFor(records),
                         address, ttl);
    return DnsWriterFinish(&writer);
}

static void Multicast(MdnsResponder *r, MdnsLinkState *link, unsigned records, MdnsTtl ttl) {
    uint8_t buffer[1500];
    size_t size = BuildResponse(r, buffer, sizeof buffer, *link, records, ttl, nullptr);
    if (size == 0 || !SendToMdnsGroup(r->Socket, link->Link.Address, buffer, size))
        return;
    DWORD now = GetTickCount();
    for (int i = 0; i < MDNS_RECORDS; i++)
        if (records & (1u << i))
            link->LastSent[i] = now;
}

void MulticastEverywhere(MdnsResponder *r, MdnsTtl ttl) {
    for (int i = 0; i < r->LinkCount; i++)
        Multicast(r, &r->Links[i], MDNS_ALL, ttl);
}

static void SendProbes(MdnsResponder *r) {
    uint8_t buffer[1500];
    for (int i = 0; i < r->LinkCount; i++) {
        uint8_t address[4];
        AddressOf(r->Links[i], address);
        size_t size = BuildMdnsProbe(r->Identity, address, buffer, sizeof buffer);
        if (size)
            SendToMdnsGroup(r->Socket, r->Links[i].Link.Address, buffer, size);
    }
}

void StartProbing(MdnsResponder *r, DWORD delay) {
    r->Stage = MdnsPhase::Probing;
    r->Step = 0;
    r->StepAt = GetTickCount() + delay;
}

static void LogName(MdnsResponder *r) {
    wchar_t name[DNS_LABEL_MAX + 1];
    int length = MultiByteToWideChar(CP_UTF8, 0, r->BaseName, -1, name, DNS_LABEL_MAX + 1);
    char numbered[DNS_LABEL_MAX + 1];
    NumberedMdnsName(numbered, sizeof numbered, r->BaseName, r->Number);
    wchar_t now[DNS_LABEL_MAX + 1];
    MultiByteToWideChar(CP_UTF8, 0, numbered, -1, now, DNS_LABEL_MAX + 1);
    wchar_t line[3 * DNS_LABEL_MAX];
    _snwprintf(line, 3 * DNS_LABEL_MAX - 1,
               L"\"%ls\" is taken on the network; announcing \"%ls\"\n", length > 0 ? name : L"",
               now);
    line[3 * DNS_LABEL_MAX - 1] = 0;
    if (r->Log)
        r->Log->WriteMessage(line);
}

bool TakeName(MdnsResponder *r) {
    char instance[DNS_LABEL_MAX + 1];
    NumberedMdnsName(instance, sizeof instance, r->BaseName, r->Number);
    uint16_t port = r->Identity.Port;
    return SetMdnsIdentity(&r->Identity, instance, r->HostLabel, port);
}

// A peer holds the name: the next number, probed afresh; a burst of
// conflicts (a peer that claims every name) slows probing down.
void Rename(MdnsResponder *r) {
    DWORD now = GetTickCount();
    if (now - r->ConflictWindow > 10000) {
        r->ConflictWindow = now;
        r->Conflicts = 0;
    }
    r->Number++;
    TakeName(r);
    StartProbing(r, ++r->Conflicts > 15 ? CONFLICT_PAUSE_MS : RandomBelow(r, PROBE_GAP_MS));
}

void RunSteps(MdnsResponder *r, DWORD now) {
    if (r->Stage == MdnsPhase::Serving || !Reached(now, r->StepAt))
        return;
    if (r->Stage == MdnsPhase::Probing) {
        if (r->Step < PROBES) {
            SendProbes(r);
            r->Step++;
            r->StepAt = now + PROBE_GAP_MS;
            return;
        }
        // A quarter second after the last probe, nobody objected.
        if (r->Number > 1 && !r->Announced)
            LogName(r);
        r->Stage = MdnsPhase::Announcing;
        r->Step = 0;
    }
    MulticastEverywhere(r, MdnsTtl::Normal);
    r->Announced = true;
    r->StepAt = now + ANNOUNCE_GAP_MS;
    if (++r->Step >= ANNOUNCEMENTS)
        r->Stage = MdnsPhase::Serving;
}

void SendDue(MdnsResponder *r, DWORD now) {
    r->AnyDue = false;
    for (int i = 0; i < r->LinkCount; i++) {
        MdnsLinkState &link = r->Links[i];
        DWORD gap = link.Defending ? DEFEND_GAP_MS : RECORD_GAP_MS;
        unsigned records = 0;
        for (int bit = 0; bit < MDNS_RECORDS; bit++)
            if ((link.Due & (1u << bit)) && now - link.LastSent[bit] >= gap)
                records |= 1u << bit;
        if (records)
            Multicast(r, &link, records, MdnsTtl::Normal);
        link.Due = 0;
        link.Defending = false;
    }
}

static bool HasAddress(const MdnsLink *links, int count, uint32_t address) {
    for (int i = 0; i < count; i++)
        if (links[i].Address == address)
            return true;
    return false;
}

// Joins the group on links that appeared; a change of links or addresses
// means probing and announcing again.
void CheckLinks(MdnsResponder *r, DWORD now) {
    r->LinkCheckAt = now + LINK_CHECK_MS;
    MdnsLink found[MDNS_LINKS_MAX], had[MDNS_LINKS_MAX];
    int count = ListMdnsLinks(r->Socket, found, MDNS_LINKS_MAX);
    for (int i = 0; i < r->LinkCount; i++)
        had[i] = r->Links[i].Link;
    if (SameMdnsLinks(found, count, had, r->LinkCount))
        return;
    for (int i = 0; i < r->LinkCount; i++)
        if (!HasAddress(found, count, had[i].Address))
            JoinMdnsGroup(r->Socket, had[i].Address, false);
    for (int i = 0; i < count; i++) {
        if (!HasAddress(had, r->LinkCount, found[i].Address))
            JoinMdnsGroup(r->Socket, found[i].Address, true);
        r->Links[i] = MdnsLinkState();
        r->Links[i].Link = found[i];
    }
    r->LinkCount = count;
    if (r->Announced || r->Stage != MdnsPhase::Probing || r->Step > 0)
        StartProbing(r, RandomBelow(r, PROBE_GAP_MS));
}
