// The service's DNS-SD records: which answer a question, how they are
// written, and how a peer's claim on the same instance name compares.
#include "service/mdns_records.h"

#include <stdio.h>
#include <string.h>

#include "protocol/frames.h"

// Never empty: peers drop services whose TXT record has no strings.
static const char *const TxtStrings[] = {"txtvers=1", "protovers=1"};
static_assert(STREAM_PROTOCOL_VERSION == 1, "protovers= names the stream protocol's version");

bool SetMdnsIdentity(MdnsIdentity *identity, const char *instance, const char *host,
                     uint16_t port) {
    identity->Port = port;
    if (!DnsNameFromText(&identity->Type, "_tonvale._tcp.local") ||
        !DnsNameFromText(&identity->Services, "_services._dns-sd._udp.local") ||
        !DnsNameFromText(&identity->Host, "local") ||
        !DnsNamePrepend(&identity->Host, host, strlen(host)))
        return false;
    identity->Instance = identity->Type;
    return DnsNamePrepend(&identity->Instance, instance, strlen(instance));
}

static bool Asks(const DnsQuestion &question, const DnsName &name, uint16_t type) {
    return (question.Type == type || question.Type == DNS_TYPE_ANY) &&
           (question.Class == DNS_CLASS_IN || question.Class == DNS_TYPE_ANY) &&
           DnsNameEqual(question.Name, name);
}

unsigned MdnsAnswersTo(const MdnsIdentity &identity, const DnsQuestion &question) {
    unsigned answers = 0;
    if (Asks(question, identity.Services, DNS_TYPE_PTR))
        answers |= MDNS_SERVICES_PTR;
    if (Asks(question, identity.Type, DNS_TYPE_PTR))
        answers |= MDNS_TYPE_PTR;
    if (Asks(question, identity.Instance, DNS_TYPE_SRV))
        answers |= MDNS_SRV;
    if (Asks(question, identity.Instance, DNS_TYPE_TXT))
        answers |= MDNS_TXT;
    if (Asks(question, identity.Host, DNS_TYPE_A))
        answers |= MDNS_A;
    return answers;
}

unsigned MdnsAdditionalsFor(unsigned answers) {
    unsigned additionals = 0;
    if (answers & MDNS_TYPE_PTR)
        additionals |= MDNS_SRV | MDNS_TXT | MDNS_A;
    if (answers & MDNS_SRV)
        additionals |= MDNS_A;
    return additionals & ~answers;
}

unsigned MdnsDropKnownAnswers(const MdnsIdentity &identity, const DnsMessage &query,
                              unsigned answers) {
    for (int i = 0; i < query.RecordCount; i++) {
        const DnsRecord &known = query.Records[i];
        if (known.Section != DnsSection::Answer || known.Type != DNS_TYPE_PTR ||
            known.Ttl < MDNS_OTHER_TTL / 2)
            continue;
        if (DnsNameEqual(known.Name, identity.Type) &&
            DnsNameEqual(known.Target, identity.Instance))
            answers &= ~MDNS_TYPE_PTR;
        if (DnsNameEqual(known.Name, identity.Services) &&
            DnsNameEqual(known.Target, identity.Type))
            answers &= ~MDNS_SERVICES_PTR;
    }
    return answers;
}

static uint32_t TtlOf(unsigned record, MdnsTtl ttl) {
    uint32_t normal = record & (MDNS_SRV | MDNS_A) ? MDNS_HOST_TTL : MDNS_OTHER_TTL;
    switch (ttl) {
    case MdnsTtl::Goodbye:
        return 0;
    case MdnsTtl::Legacy:
        return normal < MDNS_LEGACY_TTL ? normal : MDNS_LEGACY_TTL;
    default:
        return normal;
    }
}

void WriteMdnsRecords(DnsWriter *writer, DnsSection section, const MdnsIdentity &identity,
                      unsigned records, const uint8_t address[4], MdnsTtl ttl) {
    // Legacy askers are plain DNS resolvers, which do not know the flush bit.
    bool flush = ttl != MdnsTtl::Legacy;
    if (records & MDNS_SERVICES_PTR)
        DnsWritePtr(writer, section, identity.Services, TtlOf(MDNS_SERVICES_PTR, ttl),
                    identity.Type);
    if (records & MDNS_TYPE_PTR)
        DnsWritePtr(writer, section, identity.Type, TtlOf(MDNS_TYPE_PTR, ttl), identity.Instance);
    if (records & MDNS_SRV)
        DnsWriteSrv(writer, section, identity.Instance, TtlOf(MDNS_SRV, ttl), flush, identity.Port,
                    identity.Host);
    if (records & MDNS_TXT)
        DnsWriteTxt(writer, section, identity.Instance, TtlOf(MDNS_TXT, ttl), flush, TxtStrings, 2);
    if (records & MDNS_A)
        DnsWriteA(writer, section, identity.Host, TtlOf(MDNS_A, ttl), flush, address);
}

size_t BuildMdnsProbe(const MdnsIdentity &identity, const uint8_t address[4], uint8_t *buffer,
                      size_t capacity) {
    DnsWriter writer;
    DnsWriterStart(&writer, buffer, capacity, 0, 0);
    DnsWriteQuestion(&writer, identity.Instance, DNS_TYPE_ANY, false);
    WriteMdnsRecords(&writer, DnsSection::Authority, identity, MDNS_SRV | MDNS_TXT, address,
                     MdnsTtl::Normal);
    return DnsWriterFinish(&writer);
}

// A record's class, type and data with names uncompressed: what the
// tiebreak compares, and what tells our own data from a peer's.
struct Canonical {
    uint8_t Bytes[600];
    size_t Size;
};

static void CanonicalOf(const DnsMessage &message, const DnsRecord &record, Canonical *out) {
    const uint8_t head[4] = {
        static_cast<uint8_t>(record.Class >> 8), static_cast<uint8_t>(record.Class),
        static_cast<uint8_t>(record.Type >> 8), static_cast<uint8_t>(record.Type)};
    memcpy(out->Bytes, head, 4);
    out->Size = 4;
    if (record.Type == DNS_TYPE_SRV) {
        const uint8_t fixed[6] = {
            static_cast<uint8_t>(record.Priority >> 8), static_cast<uint8_t>(record.Priority),
            static_cast<uint8_t>(record.Weight >> 8),   static_cast<uint8_t>(record.Weight),
            static_cast<uint8_t>(record.Port >> 8),     static_cast<uint8_t>(record.Port)};
        memcpy(out->Bytes + 4, fixed, 6);
        memcpy(out->Bytes + 10, record.Target.Wire, record.Target.Size);
        out->Size = 10 + record.Target.Size;
    } else {
        size_t size =
            record.DataSize < sizeof out->Bytes - 4 ? record.DataSize : sizeof out->Bytes - 4;
        memcpy(out->Bytes + 4, message.Data + record.DataOffset, size);
        out->Size = 4 + size;
    }
}

static int Compare(const Canonical &a, const Canonical &b) {
    size_t common = a.Size < b.Size ? a.Size : b.Size;
    int order = memcmp(a.Bytes, b.Bytes, common);
    if (order != 0)
        return order;
    return a.Size < b.Size ? -1 : a.Size > b.Size ? 1 : 0;
}

// Our own TXT and SRV records as a peer reads them, in canonical order.
static void OursCanonical(const MdnsIdentity &identity, Canonical ours[2]) {
    const uint8_t txtHead[4] = {0, DNS_CLASS_IN, 0, DNS_TYPE_TXT};
    memcpy(ours[0].Bytes, txtHead, 4);
    ours[0].Size = 4;
    for (const char *text : TxtStrings) {
        size_t length = strlen(text);
        ours[0].Bytes[ours[0].Size] = static_cast<uint8_t>(length);
        memcpy(ours[0].Bytes + ours[0].Size + 1, text, length);
        ours[0].Size += 1 + length;
    }
    const uint8_t srvHead[10] = {0,
                                 DNS_CLASS_IN,
                                 0,
                                 DNS_TYPE_SRV,
                                 0,
                                 0,
                                 0,
                                 0,
                                 static_cast<uint8_t>(identity.Port >> 8),
                                 static_cast<uint8_t>(identity.Port)};
    memcpy(ours[1].Bytes, srvHead, 10);
    memcpy(ours[1].Bytes + 10, identity.Host.Wire, identity.Host.Size);
    ours[1].Size = 10 + identity.Host.Size;
}

bool MdnsResponseConflicts(const MdnsIdentity &identity, const DnsMessage &response) {
    Canonical ours[2];
    OursCanonical(identity, ours);
    for (int i = 0; i < response.RecordCount; i++) {
        const DnsRecord &record = response.Records[i];
        if (record.Ttl == 0 || !DnsNameEqual(record.Name, identity.Instance) ||
            (record.Type != DNS_TYPE_SRV && record.Type != DNS_TYPE_TXT))
            continue;
        Canonical theirs;
        CanonicalOf(response, record, &theirs);
        if (Compare(theirs, ours[record.Type == DNS_TYPE_SRV ? 1 : 0]) != 0)
            return true;
    }
    return false;
}

int MdnsProbeTiebreak(const MdnsIdentity &identity, const DnsMessage &query) {
    Canonical ours[2], theirs[4];
    int count = 0;
    for (int i = 0; i < query.RecordCount && count < 4; i++) {
        const DnsRecord &record = query.Records[i];
        if (record.Section != DnsSection::Authority ||
            !DnsNameEqual(record.Name, identity.Instance))
            continue;
        CanonicalOf(query, record, &theirs[count]);
        // Kept in order as they come: insertion sort.
        for (int j = count++; j > 0 && Compare(theirs[j], theirs[j - 1]) < 0; j--) {
            Canonical swap = theirs[j];
            theirs[j] = theirs[j - 1];
            theirs[j - 1] = swap;
        }
    }
    if (count == 0)
        return 0;
    OursCanonical(identity, ours);
    for (int i = 0; i < count && i < 2; i++) {
        int order = Compare(ours[i], theirs[i]);
        if (order != 0)
            return order;
    }
    return count > 2 ? -1 : count < 2 ? 1 : 0;
}

void NumberedMdnsName(char *out, size_t capacity, const char *base, int number) {
    char suffix[16] = "";
    if (number > 1)
        snprintf(suffix, sizeof suffix, " (%d)", number);
    size_t room = DNS_LABEL_MAX - strlen(suffix);
    if (room > capacity - 1 - strlen(suffix))
        room = capacity - 1 - strlen(suffix);
    size_t length = strlen(base);
    if (length > room) {
        length = room;
        // Never cut a UTF-8 sequence: back off its continuation bytes.
        while (length > 0 && (static_cast<unsigned char>(base[length]) & 0xC0) == 0x80)
            length--;
    }
    memcpy(out, base, length);
    strcpy(out + length, suffix);
}
