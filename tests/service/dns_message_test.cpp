// DNS messages: what the writer makes reads back whole, and malformed input
// (truncated names, compression loops, oversized counts, overlong labels,
// record data of the wrong size) is refused rather than read past its end.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/dns_message.h"

namespace {

DnsName Name(const char *text) {
    DnsName name;
    EXPECT_TRUE(DnsNameFromText(&name, text));
    return name;
}

// A response as the responder writes one: PTR, SRV, TXT and A, compressed.
std::vector<uint8_t> Response() {
    std::vector<uint8_t> buffer(1500);
    DnsWriter w;
    DnsWriterStart(&w, buffer.data(), buffer.size(), 0x1234, DNS_FLAG_RESPONSE);
    DnsName type = Name("_tonvale._tcp.local"), host = Name("box.local");
    DnsName instance = type;
    DnsNamePrepend(&instance, "Living room", 11);
    const char *txt[] = {"txtvers=1", "protovers=1"};
    const uint8_t address[4] = {10, 0, 0, 7};
    DnsWritePtr(&w, DnsSection::Answer, type, 4500, instance);
    DnsWriteSrv(&w, DnsSection::Additional, instance, 120, true, 4554, host);
    DnsWriteTxt(&w, DnsSection::Additional, instance, 4500, true, txt, 2);
    DnsWriteA(&w, DnsSection::Additional, host, 120, true, address);
    buffer.resize(DnsWriterFinish(&w));
    return buffer;
}

bool Parses(const std::vector<uint8_t> &bytes) {
    static DnsMessage message;
    return DnsParseMessage(bytes.data(), bytes.size(), &message);
}

} // namespace

TEST(DnsMessage, ReadsBackWhatItWroteCompressed) {
    std::vector<uint8_t> bytes = Response();
    // Each name after the first points back at what was written before.
    EXPECT_LT(bytes.size(), 150u);
    static DnsMessage m;
    ASSERT_TRUE(DnsParseMessage(bytes.data(), bytes.size(), &m));
    EXPECT_EQ(m.Header.Id, 0x1234);
    EXPECT_EQ(m.Header.Answers, 1);
    EXPECT_EQ(m.Header.Additionals, 3);
    ASSERT_EQ(m.RecordCount, 4);
    char text[256];
    DnsNameFirstLabel(m.Records[0].Target, text, sizeof text);
    EXPECT_STREQ(text, "Living room");
    EXPECT_EQ(m.Records[1].Type, DNS_TYPE_SRV);
    EXPECT_EQ(m.Records[1].Port, 4554);
    EXPECT_TRUE(m.Records[1].CacheFlush);
    DnsNameToText(m.Records[1].Target, text, sizeof text);
    EXPECT_STREQ(text, "box.local");
    char value[16];
    EXPECT_TRUE(DnsTxtValue(m, m.Records[2], "protovers", value, sizeof value));
    EXPECT_STREQ(value, "1");
    EXPECT_FALSE(DnsTxtValue(m, m.Records[2], "proto", value, sizeof value));
    EXPECT_EQ(m.Records[3].Address[3], 7);
    EXPECT_EQ(m.Records[3].Ttl, 120u);
}

TEST(DnsMessage, RefusesEveryTruncation) {
    std::vector<uint8_t> bytes = Response();
    for (size_t size = 0; size < bytes.size(); size++)
        EXPECT_FALSE(Parses(std::vector<uint8_t>(bytes.begin(), bytes.begin() + size))) << size;
    bytes.push_back(0);
    EXPECT_FALSE(Parses(bytes)) << "a byte left over";
}

TEST(DnsMessage, RefusesCompressionLoops) {
    // Header with one question, then the name at offset 12.
    std::vector<uint8_t> head = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> self = head, mutual = head, forward = head, back = head;
    self.insert(self.end(), {0xC0, 12, 0, 1, 0, 1});
    mutual.insert(mutual.end(), {0xC0, 14, 0xC0, 12, 0, 1, 0, 1});
    forward.insert(forward.end(), {1, 'a', 0xC0, 20, 0, 1, 0, 1, 0});
    // A pointer into the name it ends, behind its first label.
    back.insert(back.end(), {1, 'a', 1, 'b', 0xC0, 14, 0, 1, 0, 1});
    EXPECT_FALSE(Parses(self));
    EXPECT_FALSE(Parses(mutual));
    EXPECT_FALSE(Parses(forward));
    EXPECT_FALSE(Parses(back));
    // A pointer to an earlier name is what compression is.
    std::vector<uint8_t> two = {0,   0, 0, 0, 0, 2, 0,    0,  0, 0, 0, 0, 1,
                                'a', 0, 0, 1, 0, 1, 0xC0, 12, 0, 1, 0, 1};
    EXPECT_TRUE(Parses(two));
}

TEST(DnsMessage, RefusesOversizedCounts) {
    std::vector<uint8_t> bytes = Response();
    for (int field = 0; field < 4; field++) {
        std::vector<uint8_t> inflated = bytes;
        inflated[4 + 2 * field] = 0xFF;
        inflated[5 + 2 * field] = 0xFF;
        EXPECT_FALSE(Parses(inflated)) << field;
    }
    // More records than a message keeps: all are checked, the first kept.
    std::vector<uint8_t> many = {0, 0, 0x80, 0, 0, 0, 0, 100, 0, 0, 0, 0};
    for (int i = 0; i < 100; i++)
        many.insert(many.end(), {0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4});
    static DnsMessage m;
    ASSERT_TRUE(DnsParseMessage(many.data(), many.size(), &m));
    EXPECT_EQ(m.RecordCount, DNS_KEPT_RECORDS);
    many[many.size() - 5] = 5; // the last record's data runs past the end
    EXPECT_FALSE(Parses(many));
}

TEST(DnsMessage, RefusesOverlongLabelsNamesAndWrongData) {
    std::vector<uint8_t> head = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> label = head;
    label.push_back(64);
    label.insert(label.end(), 64, 'x');
    label.insert(label.end(), {0, 0, 1, 0, 1});
    EXPECT_FALSE(Parses(label));
    // 5 labels of 63 bytes: 320 bytes, beyond a name's 255.
    std::vector<uint8_t> name = head;
    for (int i = 0; i < 5; i++) {
        name.push_back(63);
        name.insert(name.end(), 63, 'y');
    }
    name.insert(name.end(), {0, 0, 1, 0, 1});
    EXPECT_FALSE(Parses(name));
    // Label types 01 and 10 are not in use.
    std::vector<uint8_t> extended = head;
    extended.insert(extended.end(), {0x41, 0, 0, 0, 1, 0, 1});
    EXPECT_FALSE(Parses(extended));

    std::vector<uint8_t> record = {0, 0, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0};
    std::vector<uint8_t> a5 = record, srvShort = record, txtOver = record, ptrSpill = record;
    a5.insert(a5.end(), {0, 1, 0, 1, 0, 0, 0, 9, 0, 5, 1, 2, 3, 4, 5});
    srvShort.insert(srvShort.end(), {0, 33, 0, 1, 0, 0, 0, 9, 0, 6, 0, 0, 0, 0, 0x11, 0xCA});
    txtOver.insert(txtOver.end(), {0, 16, 0, 1, 0, 0, 0, 9, 0, 3, 5, 'a', 'b'});
    // The target name runs on past the record's data into bytes after it.
    ptrSpill.insert(ptrSpill.end(), {0, 12, 0, 1, 0, 0, 0, 9, 0, 2, 1, 'a', 0});
    EXPECT_FALSE(Parses(a5));
    EXPECT_FALSE(Parses(srvShort));
    EXPECT_FALSE(Parses(txtOver));
    EXPECT_FALSE(Parses(ptrSpill));
}

TEST(DnsMessage, WriterFailsRatherThanOverrun) {
    uint8_t buffer[40];
    DnsWriter w;
    DnsWriterStart(&w, buffer, sizeof buffer, 0, 0);
    DnsWriteQuestion(&w, Name("a-rather-long-label.another-long-label.local"), DNS_TYPE_PTR, true);
    EXPECT_EQ(DnsWriterFinish(&w), 0u);
    uint8_t room[512];
    DnsWriterStart(&w, room, sizeof room, 0, 0);
    const uint8_t address[4] = {};
    DnsWriteA(&w, DnsSection::Additional, Name("h.local"), 1, false, address);
    DnsWriteA(&w, DnsSection::Answer, Name("h.local"), 1, false, address);
    EXPECT_EQ(DnsWriterFinish(&w), 0u) << "an answer after an additional record";
    DnsName bad;
    EXPECT_FALSE(DnsNameFromText(&bad, ".local"));
    EXPECT_FALSE(DnsNameFromText(&bad, "a..local"));
}
