// Reading and writing DNS messages: every read is checked against the
// message's end, and every compression pointer must point before the name
// it ends, which rules out loops.
#include "protocol/dns_message.h"

#include <string.h>

static uint16_t Read16(const uint8_t *at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

static uint32_t Read32(const uint8_t *at) {
    return static_cast<uint32_t>(at[0]) << 24 | at[1] << 16 | at[2] << 8 | at[3];
}

// Reads the name at *at, following pointers; *at moves past the name's bytes
// in place (up to and including its first pointer).
static bool ReadName(const uint8_t *data, size_t size, size_t *at, DnsName *name) {
    size_t position = *at;
    size_t before = position; // a pointer must point below this
    bool jumped = false;
    name->Size = 0;
    for (;;) {
        if (position >= size)
            return false;
        uint8_t length = data[position];
        if ((length & 0xC0) == 0xC0) {
            if (position + 1 >= size)
                return false;
            size_t target = static_cast<size_t>(length & 0x3F) << 8 | data[position + 1];
            if (target >= before)
                return false;
            if (!jumped)
                *at = position + 2;
            jumped = true;
            before = position = target;
            continue;
        }
        if (length > DNS_LABEL_MAX || position + 1 + length > size ||
            name->Size + 1 + length > DNS_NAME_MAX)
            return false;
        memcpy(name->Wire + name->Size, data + position, 1 + length);
        name->Size = static_cast<uint8_t>(name->Size + 1 + length);
        position += 1 + length;
        if (length == 0) {
            if (!jumped)
                *at = position;
            return true;
        }
    }
}

static bool ReadQuestion(const uint8_t *data, size_t size, size_t *at, DnsQuestion *question) {
    if (!ReadName(data, size, at, &question->Name) || *at + 4 > size)
        return false;
    question->Type = Read16(data + *at);
    uint16_t rawClass = Read16(data + *at + 2);
    question->Class = rawClass & ~DNS_CLASS_TOP_BIT;
    question->UnicastResponse = (rawClass & DNS_CLASS_TOP_BIT) != 0;
    *at += 4;
    return true;
}

// Decodes the data of the types discovery uses; other types are kept raw.
static bool DecodeData(const uint8_t *data, size_t end, DnsRecord *record) {
    size_t at = record->DataOffset;
    switch (record->Type) {
    case DNS_TYPE_A:
        if (record->DataSize != 4)
            return false;
        memcpy(record->Address, data + at, 4);
        return true;
    case DNS_TYPE_PTR:
        return ReadName(data, end, &at, &record->Target) && at == end;
    case DNS_TYPE_SRV:
        if (record->DataSize < 7)
            return false;
        record->Priority = Read16(data + at);
        record->Weight = Read16(data + at + 2);
        record->Port = Read16(data + at + 4);
        at += 6;
        return ReadName(data, end, &at, &record->Target) && at == end;
    case DNS_TYPE_TXT:
        // Strings, each with its length byte, exactly filling the data.
        while (at < end)
            at += 1 + data[at];
        return at == end;
    default:
        return true;
    }
}

static bool ReadRecord(const uint8_t *data, size_t size, size_t *at, DnsRecord *record) {
    if (!ReadName(data, size, at, &record->Name) || *at + 10 > size)
        return false;
    record->Type = Read16(data + *at);
    uint16_t rawClass = Read16(data + *at + 2);
    record->Class = rawClass & ~DNS_CLASS_TOP_BIT;
    record->CacheFlush = (rawClass & DNS_CLASS_TOP_BIT) != 0;
    record->Ttl = Read32(data + *at + 4);
    record->DataSize = Read16(data + *at + 8);
    *at += 10;
    if (*at + record->DataSize > size)
        return false;
    record->DataOffset = static_cast<uint16_t>(*at);
    *at += record->DataSize;
    // Names inside the data may point back into the whole message, but the
    // data's own bytes end where its length says.
    return DecodeData(data, *at, record);
}

bool DnsParseMessage(const uint8_t *data, size_t size, DnsMessage *message) {
    message->Data = data;
    message->Size = size;
    message->QuestionCount = 0;
    message->RecordCount = 0;
    if (size < DNS_HEADER_SIZE || size > 0xFFFF)
        return false;
    DnsHeader &header = message->Header;
    header.Id = Read16(data);
    header.Flags = Read16(data + 2);
    header.Questions = Read16(data + 4);
    header.Answers = Read16(data + 6);
    header.Authorities = Read16(data + 8);
    header.Additionals = Read16(data + 10);
    size_t at = DNS_HEADER_SIZE;
    for (unsigned i = 0; i < header.Questions; i++) {
        DnsQuestion scratch;
        bool kept = message->QuestionCount < DNS_KEPT_QUESTIONS;
        DnsQuestion *question = kept ? &message->Questions[message->QuestionCount] : &scratch;
        if (!ReadQuestion(data, size, &at, question))
            return false;
        if (kept)
            message->QuestionCount++;
    }
    const uint16_t counts[3] = {header.Answers, header.Authorities, header.Additionals};
    for (int section = 0; section < 3; section++) {
        for (unsigned i = 0; i < counts[section]; i++) {
            DnsRecord scratch;
            bool kept = message->RecordCount < DNS_KEPT_RECORDS;
            DnsRecord *record = kept ? &message->Records[message->RecordCount] : &scratch;
            if (!ReadRecord(data, size, &at, record))
                return false;
            record->Section = static_cast<DnsSection>(section);
            if (kept)
                message->RecordCount++;
        }
    }
    return at == size;
}

bool DnsTxtValue(const DnsMessage &message, const DnsRecord &record, const char *key, char *value,
                 size_t capacity) {
    size_t keyLength = strlen(key);
    const uint8_t *at = message.Data + record.DataOffset;
    const uint8_t *end = at + record.DataSize;
    for (; at < end; at += 1 + at[0]) {
        size_t length = at[0];
        if (length <= keyLength || at[1 + keyLength] != '=' || memcmp(at + 1, key, keyLength) != 0)
            continue;
        size_t valueLength = length - keyLength - 1;
        if (capacity == 0)
            return true;
        if (valueLength > capacity - 1)
            valueLength = capacity - 1;
        memcpy(value, at + 2 + keyLength, valueLength);
        value[valueLength] = 0;
        return true;
    }
    return false;
}

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
        if (ReadName(writer->Data, writer->Size, &at, &written) && written.Size == size &&
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
static size_t StartRecord(DnsWriter *writer, DnsSection section, const DnsName &name,
                          uint16_t type, uint32_t ttl, bool cacheFlush) {
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
