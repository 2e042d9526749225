// The search's thread: the queries each round, the unicast answers read
// with every count and pointer checked, and the services pieced together
// from their PTR, SRV and A records.
#include "plugin/discovery.h"

#include <stdio.h>
#include <string.h>
#include <winsock2.h>

#include "protocol/dns_message.h"
#include "protocol/mdns_link.h"

namespace {

enum { MAX_FOUND = 32 };

struct Entry {
    DnsName Instance;
    DnsName Host;
    bool HasService;
    FoundService Shown;
};

struct Search {
    HWND Window;
    UINT Message;
    HANDLE Stop;
    SOCKET Socket;
    uint16_t Id;
    DnsName Type;
    Entry Found[MAX_FOUND];
    int Count;
    MdnsLink Links[MDNS_LINKS_MAX];
    int LinkCount;
    DnsMessage Answer;
    uint8_t Packet[DNS_MESSAGE_MAX];
};

HANDLE SearchThread;
Search *Running;

Entry *EntryFor(Search *s, const DnsName &instance, bool add) {
    for (int i = 0; i < s->Count; i++)
        if (DnsNameEqual(s->Found[i].Instance, instance))
            return &s->Found[i];
    if (!add || s->Count == MAX_FOUND)
        return nullptr;
    Entry *entry = &s->Found[s->Count++];
    *entry = Entry();
    entry->Instance = instance;
    char label[DNS_LABEL_MAX + 1];
    DnsNameFirstLabel(instance, label, sizeof label);
    MultiByteToWideChar(CP_UTF8, 0, label, -1, entry->Shown.Name, 64);
    return entry;
}

void Post(Search *s, const Entry &entry) {
    FoundService *copy = new FoundService(entry.Shown);
    if (!PostMessageW(s->Window, s->Message, 0, reinterpret_cast<LPARAM>(copy)))
        delete copy;
}

// One query per link: the type's instances, and what is still missing of
// those already known.
void SendQueries(Search *s) {
    uint8_t buffer[1500];
    DnsWriter writer;
    DnsWriterStart(&writer, buffer, sizeof buffer, s->Id, 0);
    DnsWriteQuestion(&writer, s->Type, DNS_TYPE_PTR, false);
    for (int i = 0; i < s->Count; i++) {
        if (!s->Found[i].HasService)
            DnsWriteQuestion(&writer, s->Found[i].Instance, DNS_TYPE_SRV, false);
        else if (!s->Found[i].Shown.Address[0])
            DnsWriteQuestion(&writer, s->Found[i].Host, DNS_TYPE_A, false);
    }
    size_t size = DnsWriterFinish(&writer);
    for (int i = 0; size && i < s->LinkCount; i++)
        SendToMdnsGroup(s->Socket, s->Links[i].Address, buffer, size);
}

bool TakeRecord(Search *s, const DnsRecord &record) {
    DnsName parent;
    if (record.Type == DNS_TYPE_PTR && DnsNameEqual(record.Name, s->Type)) {
        // Found, but shown only once its port and host are known.
        EntryFor(s, record.Target, true);
        return false;
    }
    if (record.Type == DNS_TYPE_SRV && DnsNameParent(record.Name, &parent) &&
        DnsNameEqual(parent, s->Type)) {
        Entry *entry = EntryFor(s, record.Name, true);
        if (!entry || (entry->HasService && entry->Shown.Port == record.Port &&
                       DnsNameEqual(entry->Host, record.Target)))
            return false;
        entry->HasService = true;
        entry->Host = record.Target;
        entry->Shown.Port = record.Port;
        DnsNameToText(record.Target, entry->Shown.Host, sizeof entry->Shown.Host);
        return true;
    }
    return false;
}

void TakeAddress(Search *s, const DnsRecord &record, bool *changed) {
    for (int i = 0; i < s->Count; i++) {
        Entry &entry = s->Found[i];
        char address[16];
        snprintf(address, sizeof address, "%u.%u.%u.%u", record.Address[0], record.Address[1],
                 record.Address[2], record.Address[3]);
        if (entry.HasService && DnsNameEqual(entry.Host, record.Name) &&
            strcmp(entry.Shown.Address, address) != 0) {
            strcpy(entry.Shown.Address, address);
            changed[i] = true;
        }
    }
}

void TakeAnswer(Search *s, size_t size, const sockaddr_in &from) {
    DnsMessage &answer = s->Answer;
    if (ntohs(from.sin_port) != MDNS_PORT || !DnsParseMessage(s->Packet, size, &answer) ||
        !(answer.Header.Flags & DNS_FLAG_RESPONSE) || answer.Header.Id != s->Id)
        return;
    bool changed[MAX_FOUND] = {};
    // Services first, so that addresses in the same message find their hosts.
    for (int i = 0; i < answer.RecordCount; i++) {
        const DnsRecord &record = answer.Records[i];
        if (record.Ttl == 0 || record.Class != DNS_CLASS_IN || !TakeRecord(s, record))
            continue;
        changed[EntryFor(s, record.Name, false) - s->Found] = true;
    }
    for (int i = 0; i < answer.RecordCount; i++)
        if (answer.Records[i].Type == DNS_TYPE_A && answer.Records[i].Ttl != 0)
            TakeAddress(s, answer.Records[i], changed);
    for (int i = 0; i < s->Count; i++)
        if (changed[i])
            Post(s, s->Found[i]);
}

// A bounded number at a time, so that a flood cannot hold off the stop.
void Receive(Search *s) {
    for (int i = 0; i < 64; i++) {
        sockaddr_in from;
        int got = ReceiveMdnsMessage(s->Socket, s->Packet, sizeof s->Packet, &from);
        if (got < 0)
            return;
        if (got > 0)
            TakeAnswer(s, static_cast<size_t>(got), from);
    }
}

void Look(Search *s) {
    WSAEVENT readable = WSACreateEvent();
    if (readable == WSA_INVALID_EVENT)
        return;
    if (WSAEventSelect(s->Socket, readable, FD_READ) != SOCKET_ERROR) {
        HANDLE events[2] = {s->Stop, readable};
        DWORD start = GetTickCount(), round = 0;
        for (;;) {
            DWORD elapsed = GetTickCount() - start;
            if (elapsed >= DISCOVERY_MS)
                break;
            if (elapsed >= round) {
                SendQueries(s);
                round += DISCOVERY_ROUND_MS;
            }
            DWORD next = round < DISCOVERY_MS ? round : DISCOVERY_MS;
            DWORD woken = WaitForMultipleObjects(2, events, FALSE, next - elapsed);
            if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED)
                break;
            if (woken == WAIT_OBJECT_0 + 1) {
                WSANETWORKEVENTS happened;
                WSAEnumNetworkEvents(s->Socket, readable, &happened);
                Receive(s);
            }
        }
    }
    WSACloseEvent(readable);
}

DWORD WINAPI SearchMain(void *parameter) {
    Search *s = static_cast<Search *>(parameter);
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) == 0) {
        s->Socket = OpenMdnsSocket(0);
        if (s->Socket != INVALID_SOCKET) {
            s->LinkCount = ListMdnsLinks(s->Socket, s->Links, MDNS_LINKS_MAX);
            Look(s);
            closesocket(s->Socket);
        }
        WSACleanup();
    }
    PostMessageW(s->Window, s->Message, 0, 0);
    return 0;
}

} // namespace

bool StartDiscovery(HWND window, UINT message) {
    if (SearchThread)
        return false;
    Search *s = new Search();
    s->Window = window;
    s->Message = message;
    s->Id = static_cast<uint16_t>(GetTickCount() ^ GetCurrentThreadId()) | 1;
    DnsNameFromText(&s->Type, "_tonvale._tcp.local");
    s->Stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SearchThread = s->Stop ? CreateThread(nullptr, 0, SearchMain, s, 0, nullptr) : nullptr;
    if (!SearchThread) {
        if (s->Stop)
            CloseHandle(s->Stop);
        delete s;
        return false;
    }
    Running = s;
    return true;
}

void StopDiscovery() {
    if (!SearchThread)
        return;
    SetEvent(Running->Stop);
    WaitForSingleObject(SearchThread, INFINITE);
    CloseHandle(SearchThread);
    SearchThread = nullptr;
    MSG left;
    while (PeekMessageW(&left, Running->Window, Running->Message, Running->Message, PM_REMOVE))
        delete reinterpret_cast<FoundService *>(left.lParam);
    CloseHandle(Running->Stop);
    delete Running;
    Running = nullptr;
}
