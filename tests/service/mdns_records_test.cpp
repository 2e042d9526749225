// The service's DNS-SD records: which questions they answer, known answers
// left out, a peer's claim on the name told from our own echo, the probe
// tiebreak, and numbered names that stay one label.
#include <gtest/gtest.h>

#include <string.h>

#include "service/mdns_records.h"

namespace {

MdnsIdentity Identity(uint16_t port = 4554) {
    MdnsIdentity identity;
    EXPECT_TRUE(SetMdnsIdentity(&identity, "Living room", "box", port));
    return identity;
}

DnsQuestion Question(const char *name, uint16_t type) {
    DnsQuestion question = {};
    DnsNameFromText(&question.Name, name);
    question.Type = type;
    question.Class = DNS_CLASS_IN;
    return question;
}

// Writes with `fill` and parses the result into `message` (static storage).
template <typename Fill> const DnsMessage &Message(uint16_t flags, Fill fill) {
    static uint8_t buffer[1500];
    static DnsMessage message;
    DnsWriter w;
    DnsWriterStart(&w, buffer, sizeof buffer, 0, flags);
    fill(&w);
    size_t size = DnsWriterFinish(&w);
    EXPECT_TRUE(DnsParseMessage(buffer, size, &message));
    return message;
}

const uint8_t Address[4] = {10, 0, 0, 7};

} // namespace

TEST(MdnsRecords, AnswerTheQuestionsAboutTheirNames) {
    MdnsIdentity id = Identity();
    EXPECT_EQ(MdnsAnswersTo(id, Question("_tonvale._tcp.local", DNS_TYPE_PTR)), MDNS_TYPE_PTR);
    EXPECT_EQ(MdnsAnswersTo(id, Question("_TONVALE._tcp.LOCAL", DNS_TYPE_ANY)), MDNS_TYPE_PTR);
    EXPECT_EQ(MdnsAnswersTo(id, Question("_services._dns-sd._udp.local", DNS_TYPE_PTR)),
              MDNS_SERVICES_PTR);
    EXPECT_EQ(MdnsAnswersTo(id, Question("box.local", DNS_TYPE_A)), MDNS_A);
    EXPECT_EQ(MdnsAnswersTo(id, Question("box.local", 28)), 0u); // AAAA
    EXPECT_EQ(MdnsAnswersTo(id, Question("_other._tcp.local", DNS_TYPE_PTR)), 0u);
    DnsQuestion instance = {};
    instance.Name = id.Instance;
    instance.Type = DNS_TYPE_ANY;
    instance.Class = DNS_CLASS_IN;
    EXPECT_EQ(MdnsAnswersTo(id, instance), MDNS_SRV | MDNS_TXT);
    EXPECT_EQ(MdnsAdditionalsFor(MDNS_TYPE_PTR), static_cast<unsigned>(MDNS_UNIQUE));
    EXPECT_EQ(MdnsAdditionalsFor(MDNS_SRV | MDNS_TXT), static_cast<unsigned>(MDNS_A));
}

TEST(MdnsRecords, KnownAnswersWithHalfTheirTimeLeftAreLeftOut) {
    MdnsIdentity id = Identity();
    for (uint32_t ttl : {4500u, 2250u, 2249u}) {
        const DnsMessage &query = Message(0, [&](DnsWriter *w) {
            DnsWriteQuestion(w, id.Type, DNS_TYPE_PTR, false);
            DnsWritePtr(w, DnsSection::Answer, id.Type, ttl, id.Instance);
        });
        EXPECT_EQ(MdnsDropKnownAnswers(id, query, MDNS_TYPE_PTR), ttl >= 2250 ? 0u : MDNS_TYPE_PTR)
            << ttl;
    }
}

TEST(MdnsRecords, ResponsesWrittenAsAnnouncedCarryTheTtlsAndNeverAnEmptyTxt) {
    MdnsIdentity id = Identity();
    const DnsMessage &m = Message(DNS_FLAG_RESPONSE, [&](DnsWriter *w) {
        WriteMdnsRecords(w, DnsSection::Answer, id, MDNS_ALL, Address, MdnsTtl::Normal);
    });
    ASSERT_EQ(m.RecordCount, 5);
    const uint32_t ttls[5] = {4500, 4500, 120, 4500, 120};
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(m.Records[i].Ttl, ttls[i]) << i;
    EXPECT_FALSE(m.Records[1].CacheFlush); // shared
    EXPECT_TRUE(m.Records[2].CacheFlush);  // unique
    EXPECT_EQ(m.Records[3].DataSize, 22);  // "txtvers=1" "protovers=1"
    const DnsMessage &legacy = Message(DNS_FLAG_RESPONSE, [&](DnsWriter *w) {
        WriteMdnsRecords(w, DnsSection::Answer, id, MDNS_SRV, Address, MdnsTtl::Legacy);
    });
    EXPECT_EQ(legacy.Records[0].Ttl, 10u);
    EXPECT_FALSE(legacy.Records[0].CacheFlush);
}

TEST(MdnsRecords, OnlyOtherDataForTheNameIsAConflict) {
    MdnsIdentity ours = Identity(), other = Identity(4555);
    auto response = [](const MdnsIdentity &id, MdnsTtl ttl) -> const DnsMessage & {
        return Message(DNS_FLAG_RESPONSE, [&](DnsWriter *w) {
            WriteMdnsRecords(w, DnsSection::Answer, id, MDNS_ALL, Address, ttl);
        });
    };
    EXPECT_FALSE(MdnsResponseConflicts(ours, response(ours, MdnsTtl::Normal)));
    EXPECT_TRUE(MdnsResponseConflicts(ours, response(other, MdnsTtl::Normal)));
    EXPECT_FALSE(MdnsResponseConflicts(ours, response(other, MdnsTtl::Goodbye)));
    MdnsIdentity elsewhere;
    SetMdnsIdentity(&elsewhere, "Kitchen", "box", 4555);
    EXPECT_FALSE(MdnsResponseConflicts(ours, response(elsewhere, MdnsTtl::Normal)));
}

TEST(MdnsRecords, SimultaneousProbesAreSettledByTheirData) {
    MdnsIdentity ours = Identity(4554);
    auto probe = [](const MdnsIdentity &id) -> const DnsMessage & {
        static uint8_t buffer[1500];
        static DnsMessage message;
        size_t size = BuildMdnsProbe(id, Address, buffer, sizeof buffer);
        EXPECT_TRUE(DnsParseMessage(buffer, size, &message));
        return message;
    };
    EXPECT_EQ(MdnsProbeTiebreak(ours, probe(ours)), 0) << "our own probe, looped back";
    EXPECT_GT(MdnsProbeTiebreak(ours, probe(Identity(4553))), 0) << "ours sorts later: we win";
    EXPECT_LT(MdnsProbeTiebreak(ours, probe(Identity(4555))), 0) << "theirs sorts later";
}

TEST(MdnsRecords, NumberedNamesStayOneLabel) {
    char name[DNS_LABEL_MAX + 1];
    NumberedMdnsName(name, sizeof name, "Den", 1);
    EXPECT_STREQ(name, "Den");
    NumberedMdnsName(name, sizeof name, "Den", 12);
    EXPECT_STREQ(name, "Den (12)");
    std::string long63(63, 'x');
    NumberedMdnsName(name, sizeof name, long63.c_str(), 2);
    EXPECT_EQ(std::string(name), std::string(59, 'x') + " (2)");
    // 30 two-byte letters (60 bytes): the cut falls between two letters.
    std::string letters;
    for (int i = 0; i < 30; i++)
        letters += "\xc3\xa9";
    NumberedMdnsName(name, sizeof name, letters.c_str(), 2);
    EXPECT_EQ(strlen(name), 58u + 4u);
    EXPECT_EQ(std::string(name).substr(0, 58), letters.substr(0, 58));
}
