// Reading DNS messages: every read is checked against the message's end,
// and every compression pointer must point before the name it ends, which
// rules out loops.
#include "protocol/dns_message.h"

#include <string.h>

static uint16_t Read16(const uint8_t *at) {
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

static uint32_t Read32(const uint8_t *at) {
    return static_cast<uint32_t>(at[0]) << 24 | at[1] << 16 | at[2] << 8 | at[3];
}

bool DnsReadName(const uint8_t *data, size_t size, size_t *at, DnsName *name) {
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
    if (!DnsReadName(data, size, at, &question->Name) || *at + 4 > size)
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
        return DnsReadName(data, end, &at, &record->Target) && at == end;
    case DNS_TYPE_SRV:
        if (record->DataSize < 7)
            return false;
        record->Priority = Read16(data + at);
        record->Weight = Read16(data + at + 2);
        record->Port = Read16(data + at + 4);
        at += 6;
        return DnsReadName(data, end, &at, &record->Target) && at == end;
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
    if (!DnsReadName(data, size, at, &record->Name) || *at + 10 > size)
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
