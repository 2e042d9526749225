// A seeded fuzzer for the service's multicast DNS responder: queries,
// probes and responses built whole and then broken (bytes flipped, cut
// short, counts inflated, labels overlong, compression pointers that point
// at themselves, forwards or round in a loop), sent to the group and to the
// link's address from port 5353 and from a one-shot port. After every batch
// it checks that the responder still answers a plain one-shot query with
// the expected port, and at the end that it never answered one-shot queries
// faster than its cap allows. Exits non-zero at the first failed check.
//
//   tvmdnsfuzz --link ADDRESS --port PORT [--seed N] [--packets N] [--batch N]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <winsock2.h>

#include "protocol/dns_message.h"
#include "protocol/mdns_link.h"
#include "seeded_random.h"

namespace {

// The responder's cap on unicast answers a second.
const int UNICAST_CAP = 32;

DnsName RandomInstance(Random &random, const DnsName &type) {
    char label[12];
    for (int i = 0; i < 11; i++)
        label[i] = static_cast<char>('a' + random.Below(26));
    DnsName name = type;
    DnsNamePrepend(&name, label, 1 + random.Below(11));
    return name;
}

size_t BuildWhole(Random &random, uint8_t *buffer, size_t capacity) {
    DnsName type, services, host;
    DnsNameFromText(&type, "_tonvale._tcp.local");
    DnsNameFromText(&services, "_services._dns-sd._udp.local");
    DnsNameFromText(&host, "fuzz.local");
    DnsName instance = RandomInstance(random, type);
    const uint8_t address[4] = {10, 77, 0, static_cast<uint8_t>(random.Below(256))};
    const char *txt[] = {"txtvers=1"};
    DnsWriter w;
    uint32_t kind = random.Below(6);
    DnsWriterStart(&w, buffer, capacity, static_cast<uint16_t>(random.Next()),
                   kind >= 4 ? DNS_FLAG_RESPONSE | DNS_FLAG_AUTHORITATIVE : 0);
    switch (kind) {
    case 0: // browse, sometimes with a known answer
        DnsWriteQuestion(&w, type, DNS_TYPE_PTR, random.Below(2));
        if (random.Below(2))
            DnsWritePtr(&w, DnsSection::Answer, type, 4500, instance);
        break;
    case 1:
        DnsWriteQuestion(&w, services, DNS_TYPE_PTR, random.Below(2));
        DnsWriteQuestion(&w, instance, random.Below(2) ? DNS_TYPE_SRV : DNS_TYPE_ANY, false);
        break;
    case 2: // a probe
        DnsWriteQuestion(&w, instance, DNS_TYPE_ANY, random.Below(2));
        DnsWriteSrv(&w, DnsSection::Authority, instance, 120, false, 1000, host);
        break;
    case 3:
        DnsWriteQuestion(&w, host, DNS_TYPE_A, random.Below(2));
        break;
    default: // another service's records
        DnsWritePtr(&w, DnsSection::Answer, type, 4500, instance);
        DnsWriteSrv(&w, DnsSection::Additional, instance, 120, true, 1000, host);
        DnsWriteTxt(&w, DnsSection::Additional, instance, 4500, true, txt, 1);
        DnsWriteA(&w, DnsSection::Additional, host, 120, true, address);
        break;
    }
    return DnsWriterFinish(&w);
}

size_t Break(Random &random, uint8_t *packet, size_t size, size_t capacity) {
    for (uint32_t n = random.Below(4); n > 0 && size > 0; n--) {
        size_t at = random.Below(static_cast<uint32_t>(size));
        switch (random.Below(7)) {
        case 0:
            packet[at] ^= static_cast<uint8_t>(1 + random.Below(255));
            break;
        case 1:
            size = at;
            break; // cut short
        case 2:    // a count far beyond what the message holds
            packet[4 + 2 * random.Below(4)] = static_cast<uint8_t>(random.Next() | 0x80);
            break;
        case 3: // a pointer to itself, or forwards
            if (at + 1 < size) {
                size_t target =
                    random.Below(2) ? at : at + random.Below(static_cast<uint32_t>(size - at));
                packet[at] = static_cast<uint8_t>(0xC0 | target >> 8);
                packet[at + 1] = static_cast<uint8_t>(target);
            }
            break;
        case 4:
            packet[at] = static_cast<uint8_t>(64 + random.Below(192));
            break;
        case 5: // two pointers at each other
            if (size >= DNS_HEADER_SIZE + 4) {
                packet[DNS_HEADER_SIZE] = 0xC0;
                packet[DNS_HEADER_SIZE + 1] = DNS_HEADER_SIZE + 2;
                packet[DNS_HEADER_SIZE + 2] = 0xC0;
                packet[DNS_HEADER_SIZE + 3] = DNS_HEADER_SIZE;
            }
            break;
        default: // noise after or instead of the message
            for (size_t grow = random.Below(64); grow > 0 && size < capacity; grow--)
                packet[size++] = static_cast<uint8_t>(random.Next());
        }
    }
    return size;
}

SOCKET OneShotSocket() {
    SOCKET s = OpenMdnsSocket(0);
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    return s;
}

// Reads what has arrived; counts what came from the responder under test
// (other responders on the link answer too).
int Drain(SOCKET s, uint32_t responder) {
    int count = 0;
    char sink[DNS_MESSAGE_MAX];
    sockaddr_in from;
    int fromLength = sizeof from;
    while (recvfrom(s, sink, sizeof sink, 0, reinterpret_cast<sockaddr *>(&from), &fromLength) >
           0) {
        count += from.sin_addr.s_addr == responder;
        fromLength = sizeof from;
    }
    return count;
}

// A one-shot query for the type; true when an answer with our ID names a
// service on `port`.
bool Answers(SOCKET s, uint32_t link, uint16_t port, uint16_t id) {
    DnsName type;
    DnsNameFromText(&type, "_tonvale._tcp.local");
    uint8_t query[512];
    DnsWriter w;
    DnsWriterStart(&w, query, sizeof query, id, 0);
    DnsWriteQuestion(&w, type, DNS_TYPE_PTR, false);
    size_t size = DnsWriterFinish(&w);
    static DnsMessage answer;
    static uint8_t packet[DNS_MESSAGE_MAX];
    for (int attempt = 0; attempt < 4; attempt++) {
        SendToMdnsGroup(s, link, query, size);
        for (DWORD start = GetTickCount(); GetTickCount() - start < 600;) {
            int got = recv(s, reinterpret_cast<char *>(packet), sizeof packet, 0);
            if (got <= 0) {
                Sleep(10);
                continue;
            }
            if (!DnsParseMessage(packet, got, &answer) || answer.Header.Id != id)
                continue;
            for (int i = 0; i < answer.RecordCount; i++)
                if (answer.Records[i].Type == DNS_TYPE_SRV && answer.Records[i].Port == port)
                    return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char **argv) {
    uint32_t seed = 1, packets = 6000, batch = 1000;
    const char *linkText = nullptr;
    uint16_t port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--seed"))
            seed = strtoul(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--packets"))
            packets = strtoul(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--batch"))
            batch = strtoul(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--link"))
            linkText = argv[i + 1];
        else if (!strcmp(argv[i], "--port"))
            port = static_cast<uint16_t>(atoi(argv[i + 1]));
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    WSADATA data;
    if (!linkText || !port || batch == 0 || WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        printf(
            "usage: tvmdnsfuzz --link ADDRESS --port PORT [--seed N] [--packets N] [--batch N]\n");
        return 2;
    }
    uint32_t link = inet_addr(linkText);
    SOCKET peer = OpenMdnsSocket(MDNS_PORT), oneShot = OneShotSocket(), checker = OneShotSocket();
    if (peer == INVALID_SOCKET || oneShot == INVALID_SOCKET || checker == INVALID_SOCKET) {
        printf("FAIL: no sockets\n");
        return 1;
    }
    sockaddr_in direct = {};
    direct.sin_family = AF_INET;
    direct.sin_port = htons(MDNS_PORT);
    direct.sin_addr.s_addr = link;
    Random random = {seed ? seed : 1};
    static uint8_t packet[DNS_MESSAGE_MAX];
    int answered = 0, failed = 0;
    DWORD began = GetTickCount();
    for (uint32_t sent = 0; sent < packets && !failed; sent += batch) {
        for (uint32_t i = 0; i < batch; i++) {
            size_t size =
                random.Below(20) == 0 ? random.Below(600) : BuildWhole(random, packet, 1500);
            if (random.Below(20) == 0)
                for (size_t b = 0; b < size; b++)
                    packet[b] = static_cast<uint8_t>(random.Next());
            size = Break(random, packet, size, sizeof packet);
            SOCKET from = random.Below(2) ? peer : oneShot;
            if (random.Below(2))
                SendToMdnsGroup(from, link, packet, size);
            else
                sendto(from, reinterpret_cast<const char *>(packet), static_cast<int>(size), 0,
                       reinterpret_cast<sockaddr *>(&direct), sizeof direct);
            answered += Drain(oneShot, link);
        }
        if (!Answers(checker, link, port, static_cast<uint16_t>(random.Next() | 1))) {
            printf("FAIL: no answer for port %u after %u packets\n", port, sent + batch);
            failed = 1;
        }
        answered += Drain(oneShot, link);
    }
    Sleep(200);
    answered += Drain(oneShot, link);
    DWORD seconds = (GetTickCount() - began) / 1000 + 1;
    printf("seed %u: %u packets in %lu s, %d one-shot answers\n", seed, packets, seconds, answered);
    if (!failed && answered > UNICAST_CAP * static_cast<int>(seconds + 1)) {
        printf("FAIL: %d one-shot answers in %lu s: more than %d a second\n", answered, seconds,
               UNICAST_CAP);
        failed = 1;
    }
    printf(failed ? "FAIL\n" : "PASS\n");
    return failed;
}
