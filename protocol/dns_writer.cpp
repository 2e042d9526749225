// Writing DNS messages: questions and records section by section, names
// compressed against those written before, and a failure rather than a
// write past the buffer.
#include "protocol/dns_message.h"

#include <string.h>

static void Put(DnsWriter *writer, const void *bytes, size_t count) {
    if (writer->Failed || writer->Size + count > writer->Capacity) {
        writer->Failed = true;
        return;
    }
    memcpy(writer->Data + writer->Size, bytes, count);
    writer->Size += count;
}

static void Put16(DnsWriter *writer, uint16_t value) {
    uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    Put(writer, bytes, 2);
}

static void Put32(DnsWriter *writer, uint32_t value) {
    Put16(writer, static_cast<uint16_t>(value >> 16));
    Put16(writer, static_cast<uint16_t>(value));
}

// The offset of a name already written whose bytes equal `suffix`, or -1.
static int WrittenSuffix(const DnsWriter *writer, const uint8_t *suffix, size_t size) {
    for (int i = 0; i < writer->Suffixes; i++) {
        size_t at = writer->SuffixOffsets[i];
        DnsName written;
        if (DnsReadName(writer->Data, writer->Size, &at, &written) && written.Size == size &&
            memcmp(written.Wire, suffix, size) == 0)
            return writer->SuffixOffsets[i];
    }
    return -1;
}

static void PutName(DnsWriter *writer, const DnsName &name) {
    for (size_t at = 0; at < name.Size && name.Wire[at] != 0; at += 1 + name.Wire[at]) {
        int earlier = WrittenSuffix(writer, name.Wire + at, name.Size - at);
        if (earlier >= 0) {
            Put16(writer, static_cast<uint16_t>(0xC000 | earlier));
            return;
        }
        if (writer->Suffixes < 64 && writer->Size < 0x3FFF)
            writer->SuffixOffsets[writer->Suffixes++] = static_cast<uint16_t>(writer->Size);
        Put(writer, name.Wire + at, 1 + name.Wire[at]);
    }
    Put(writer, "", 1);
}

void DnsWriterStart(DnsWriter *writer, uint8_t *buffer, size_t capacity, uint16_t id,
                    uint16_t flags) {
    *writer = DnsWriter();
    writer->Data = buffer;
    writer->Capacity = capacity;
    Put16(writer, id);
    Put16(writer, flags);
    uint8_t counts[8] = {};
    Put(writer, counts, sizeof counts);
}

// Entries go out section by section; one written after a later section's
// would land in the wrong one.
static void Count(DnsWriter *writer, int section) {
    for (int later = section + 1; later < 4; later++)
        if (writer->Counts[later] != 0)
            writer->Failed = true;
    writer->Counts[section]++;
}

void DnsWriteQuestion(DnsWriter *writer, const DnsName &name, uint16_t type, bool unicastResponse) {
    Count(writer, 0);
    PutName(writer, name);
    Put16(writer, type);
    Put16(writer, DNS_CLASS_IN | (unicastResponse ? DNS_CLASS_TOP_BIT : 0));
}

// The record's fixed part; returns where its data length goes.
static size_t StartRecord(DnsWriter *writer, DnsSection section, const DnsName &name, uint16_t type,
                          uint32_t ttl, bool cacheFlush) {
    Count(writer, 1 + static_cast<int>(section));
    PutName(writer, name);
    Put16(writer, type);
    Put16(writer, DNS_CLASS_IN | (cacheFlush ? DNS_CLASS_TOP_BIT : 0));
    Put32(writer, ttl);
    size_t lengthAt = writer->Size;
    Put16(writer, 0);
    return lengthAt;
}

static void EndRecord(DnsWriter *writer, size_t lengthAt) {
    if (writer->Failed)
        return;
    size_t length = writer->Size - lengthAt - 2;
    writer->Data[lengthAt] = static_cast<uint8_t>(length >> 8);
    writer->Data[lengthAt + 1] = static_cast<uint8_t>(length);
}

void DnsWritePtr(DnsWriter *writer, DnsSection section, const DnsName &name, uint32_t ttl,
                 const DnsName &target) {
    size_t lengthAt = StartRecord(writer, section, name, DNS_TYPE_PTR, ttl, false);
    PutName(writer, target);
    EndRecord(writer, lengthAt);
}

void DnsWriteSrv(DnsWriter *writer, DnsSection section, const DnsName &name, uint32_t ttl,
                 bool cacheFlush, uint16_t port, const DnsName &target) {
    size_t lengthAt = StartRecord(writer, section, name, DNS_TYPE_SRV, ttl, cacheFlush);
    Put16(writer, 0); // priority
    Put16(writer, 0); // weight
    Put16(writer, port);
    PutName(writer, target);
    EndRecord(writer, lengthAt);
}

void DnsWriteTxt(DnsWriter *writer, DnsSection section, const DnsName &name, uint32_t ttl,
                 bool cacheFlush, const char *const *strings, int count) {
    size_t lengthAt = StartRecord(writer, section, name, DNS_TYPE_TXT, ttl, cacheFlush);
    for (int i = 0; i < count; i++) {
        size_t length = strlen(strings[i]);
        uint8_t lengthByte = static_cast<uint8_t>(length > 255 ? 255 : length);
        Put(writer, &lengthByte, 1);
        Put(writer, strings[i], lengthByte);
    }
    if (count == 0) // never empty data: one empty string
        Put(writer, "", 1);
    EndRecord(writer, lengthAt);
}

void DnsWriteA(DnsWriter *writer, DnsSection section, const DnsName &name, uint32_t ttl,
               bool cacheFlush, const uint8_t address[4]) {
    size_t lengthAt = StartRecord(writer, section, name, DNS_TYPE_A, ttl, cacheFlush);
    Put(writer, address, 4);
    EndRecord(writer, lengthAt);
}

size_t DnsWriterFinish(DnsWriter *writer) {
    if (writer->Failed)
        return 0;
    for (int i = 0; i < 4; i++) {
        writer->Data[4 + 2 * i] = static_cast<uint8_t>(writer->Counts[i] >> 8);
        writer->Data[5 + 2 * i] = static_cast<uint8_t>(writer->Counts[i]);
    }
    return writer->Size;
}
