// DNS messages as multicast DNS and DNS service discovery use them: names in
// their wire form, the reading of a received message with every length,
// count and compression pointer checked against its bytes, and the writing
// of questions and records with name compression. Bytes only, no sockets:
// the service's responder, the plug-in's browser and the tests share it.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum : uint16_t {
    DNS_TYPE_A = 1,
    DNS_TYPE_PTR = 12,
    DNS_TYPE_TXT = 16,
    DNS_TYPE_SRV = 33,
    DNS_TYPE_ANY = 255,
    DNS_CLASS_IN = 1,
    // In a question's class: the asker wants a unicast response. In a
    // record's class: the record replaces what caches hold for its name and
    // type (a "unique" record).
    DNS_CLASS_TOP_BIT = 0x8000,
    DNS_FLAG_RESPONSE = 0x8000,
    DNS_FLAG_AUTHORITATIVE = 0x0400,
    // Opcode and response code: multicast DNS ignores messages with either set.
    DNS_FLAG_OPCODE_MASK = 0x7800,
    DNS_FLAG_RCODE_MASK = 0x000F,
    MDNS_PORT = 5353,
};

enum {
    DNS_NAME_MAX = 255,
    DNS_LABEL_MAX = 63,
    DNS_HEADER_SIZE = 12,
    // Multicast DNS messages stay within a jumbo frame.
    DNS_MESSAGE_MAX = 9000,
    // What a parsed message keeps; further entries are checked, not kept.
    DNS_KEPT_QUESTIONS = 16,
    DNS_KEPT_RECORDS = 48,
};

// A name in its uncompressed wire form: length-prefixed labels ending with
// the empty label. A label's text may hold any byte, dots and blanks too.
struct DnsName {
    uint8_t Size;
    uint8_t Wire[DNS_NAME_MAX];
};

// Builds a name from dotted text ("_tonvale._tcp.local"); false when a label
// is empty or too long or the name too long.
bool DnsNameFromText(DnsName *name, const char *dotted);
// Puts one label of `length` bytes in front of `name`.
bool DnsNamePrepend(DnsName *name, const char *label, size_t length);
// Names compare without regard to ASCII case.
bool DnsNameEqual(const DnsName &a, const DnsName &b);
// The name without its first label.
bool DnsNameParent(const DnsName &name, DnsName *parent);
// The first label's bytes, cut to fit and terminated; returns their count.
size_t DnsNameFirstLabel(const DnsName &name, char *out, size_t capacity);
// Dotted text, for host names; labels are not escaped.
void DnsNameToText(const DnsName &name, char *out, size_t capacity);

enum class DnsSection : uint8_t { Answer, Authority, Additional };

struct DnsQuestion {
    DnsName Name;
    uint16_t Type;
    uint16_t Class;
    bool UnicastResponse;
};

struct DnsRecord {
    DnsSection Section;
    DnsName Name;
    uint16_t Type;
    uint16_t Class;
    bool CacheFlush;
    uint32_t Ttl;
    // The record's data within the message.
    uint16_t DataOffset;
    uint16_t DataSize;
    // Decoded for the types that discovery uses.
    DnsName Target;                  // PTR, SRV
    uint16_t Priority, Weight, Port; // SRV
    uint8_t Address[4];              // A
};

struct DnsHeader {
    uint16_t Id, Flags, Questions, Answers, Authorities, Additionals;
};

struct DnsMessage {
    const uint8_t *Data;
    size_t Size;
    DnsHeader Header;
    int QuestionCount; // kept, at most DNS_KEPT_QUESTIONS
    DnsQuestion Questions[DNS_KEPT_QUESTIONS];
    int RecordCount; // kept, at most DNS_KEPT_RECORDS, in message order
    DnsRecord Records[DNS_KEPT_RECORDS];
};

// Reads the name at *at, following compression pointers; *at moves past the
// name's own bytes (up to and including its first pointer).
bool DnsReadName(const uint8_t *data, size_t size, size_t *at, DnsName *name);
// Reads a whole message; false for anything malformed: a name that runs past
// the message or past 255 bytes, a label type other than plain or pointer, a
// pointer that does not point before the name it ends (so none can loop),
// counts that claim more entries than the message holds, record data of the
// wrong size for its type, or bytes left over at the end.
bool DnsParseMessage(const uint8_t *data, size_t size, DnsMessage *message);

// The value of `key` in a TXT record ("key=value"), cut to fit; false when
// the key is absent.
bool DnsTxtValue(const DnsMessage &message, const DnsRecord &record, const char *key, char *value,
                 size_t capacity);

struct DnsWriter {
    uint8_t *Data;
    size_t Capacity;
    size_t Size;
    bool Failed;        // out of room, or a section written out of order
    uint16_t Counts[4]; // questions, answers, authority, additional
    // Where each label of the names written so far starts: compression
    // points at the longest of these that ends a new name.
    int Suffixes;
    uint16_t SuffixOffsets[64];
};

void DnsWriterStart(DnsWriter *writer, uint8_t *buffer, size_t capacity, uint16_t id,
                    uint16_t flags);
void DnsWriteQuestion(DnsWriter *writer, const DnsName &name, uint16_t type, bool unicastResponse);
void DnsWritePtr(DnsWriter *writer, DnsSection section, const DnsName &name, uint32_t ttl,
                 const DnsName &target);
void DnsWriteSrv(DnsWriter *writer, DnsSection section, const DnsName &name, uint32_t ttl,
                 bool cacheFlush, uint16_t port, const DnsName &target);
// `strings` are the TXT record's strings, "key=value" each.
void DnsWriteTxt(DnsWriter *writer, DnsSection section, const DnsName &name, uint32_t ttl,
                 bool cacheFlush, const char *const *strings, int count);
void DnsWriteA(DnsWriter *writer, DnsSection section, const DnsName &name, uint32_t ttl,
               bool cacheFlush, const uint8_t address[4]);
// Puts the counts into the header. The message's size, or 0 when it failed.
size_t DnsWriterFinish(DnsWriter *writer);
