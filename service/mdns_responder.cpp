// The responder's thread and what it hears: settings, start and stop, the
// wait on the socket and the timers, and the handling of each message:
// conflicts while probing or after, and answers by multicast, by unicast
// when asked, and to legacy one-shot queries with their ID echoed.
#include "service/mdns_responder.h"

#include <string.h>
#include <wchar.h>

#include "service/mdns_state.h"

static void Utf8Of(const wchar_t *text, char *out, size_t capacity) {
    char whole[3 * 256 + 1];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, whole, sizeof whole, nullptr, nullptr) == 0)
        whole[0] = 0;
    NumberedMdnsName(out, capacity, whole, 1);
}

// False when announcing is turned off.
static bool ReadSettings(const wchar_t *settingsPath, MdnsResponder *r) {
    if (GetPrivateProfileIntW(L"COMMON", L"Announce", 1, settingsPath) == 0)
        return false;
    wchar_t computer[256];
    DWORD size = 256;
    if (!GetComputerNameExW(ComputerNameDnsHostname, computer, &size) || size == 0)
        wcscpy(computer, L"Tonvale");
    wchar_t name[256];
    GetPrivateProfileStringW(L"COMMON", L"AnnounceName", computer, name, 256, settingsPath);
    Utf8Of(name[0] ? name : computer, r->BaseName, sizeof r->BaseName);
    Utf8Of(computer, r->HostLabel, sizeof r->HostLabel);
    return true;
}

static bool MayUnicast(MdnsResponder *r, DWORD now) {
    if (now - r->UnicastWindow >= 1000) {
        r->UnicastWindow = now;
        r->UnicastSent = 0;
    }
    return ++r->UnicastSent <= UNICAST_PER_SECOND;
}

static void Unicast(MdnsResponder *r, const MdnsLinkState &link, unsigned answers,
                    const sockaddr_in &to, bool legacy) {
    uint8_t buffer[1500];
    size_t size =
        BuildResponse(r, buffer, sizeof buffer, link, answers,
                      legacy ? MdnsTtl::Legacy : MdnsTtl::Normal, legacy ? &r->Received : nullptr);
    if (size && MayUnicast(r, GetTickCount()))
        sendto(r->Socket, reinterpret_cast<const char *>(buffer), static_cast<int>(size), 0,
               reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

static void AnswerQuery(MdnsResponder *r, MdnsLinkState *link, const sockaddr_in &from) {
    const DnsMessage &query = r->Received;
    unsigned answers = 0;
    bool unicastAsked = false;
    for (int i = 0; i < query.QuestionCount; i++) {
        unsigned these = MdnsAnswersTo(r->Identity, query.Questions[i]);
        answers |= these;
        unicastAsked = unicastAsked || (these && query.Questions[i].UnicastResponse);
    }
    answers = MdnsDropKnownAnswers(r->Identity, query, answers);
    if (!answers)
        return;
    bool legacy = ntohs(from.sin_port) != MDNS_PORT;
    if (legacy || unicastAsked) {
        Unicast(r, *link, answers, from, legacy);
        return;
    }
    // Shared answers wait a little so that answers from several responders
    // spread out; a probe for our name is answered at once.
    bool probe = query.Header.Authorities > 0;
    DWORD delay = probe || !(answers & ~MDNS_UNIQUE) ? 0 : 20 + RandomBelow(r, 100);
    DWORD due = GetTickCount() + delay;
    if (!r->AnyDue || static_cast<LONG>(due - r->DueAt) < 0)
        r->DueAt = due;
    r->AnyDue = true;
    link->Due |= answers;
    link->Defending = link->Defending || probe;
}

static void HandleMessage(MdnsResponder *r, size_t size, const sockaddr_in &from) {
    DnsMessage &message = r->Received;
    if (!DnsParseMessage(r->Packet, size, &message) ||
        (message.Header.Flags & (DNS_FLAG_OPCODE_MASK | DNS_FLAG_RCODE_MASK)) != 0)
        return;
    // Only peers on one of our links are heard (and answered).
    int link = -1;
    for (int i = 0; i < r->LinkCount && link < 0; i++)
        if (((from.sin_addr.s_addr ^ r->Links[i].Link.Address) & r->Links[i].Link.Mask) == 0)
            link = i;
    if (link < 0)
        return;
    if (message.Header.Flags & DNS_FLAG_RESPONSE) {
        if (!MdnsResponseConflicts(r->Identity, message))
            return;
        // While probing the name is not ours yet; after, it must be probed again.
        if (r->Stage == MdnsPhase::Probing)
            Rename(r);
        else
            StartProbing(r, RandomBelow(r, PROBE_GAP_MS));
        return;
    }
    if (r->Stage == MdnsPhase::Probing) {
        if (MdnsProbeTiebreak(r->Identity, message) < 0)
            StartProbing(r, LOST_TIEBREAK_MS);
        return;
    }
    AnswerQuery(r, &r->Links[link], from);
}

static void ReceiveMessages(MdnsResponder *r) {
    WSANETWORKEVENTS events;
    WSAEnumNetworkEvents(r->Socket, r->SocketEvent, &events);
    for (int i = 0; i < PACKETS_PER_WAKE; i++) {
        sockaddr_in from;
        int got = ReceiveMdnsMessage(r->Socket, r->Packet, sizeof r->Packet, &from);
        if (got < 0)
            return;
        if (got > 0)
            HandleMessage(r, static_cast<size_t>(got), from);
    }
}

static DWORD WaitFor(const MdnsResponder *r, DWORD now) {
    LONG wait = static_cast<LONG>(r->LinkCheckAt - now);
    if (r->Stage != MdnsPhase::Serving && static_cast<LONG>(r->StepAt - now) < wait)
        wait = static_cast<LONG>(r->StepAt - now);
    if (r->AnyDue && static_cast<LONG>(r->DueAt - now) < wait)
        wait = static_cast<LONG>(r->DueAt - now);
    return wait > 0 ? static_cast<DWORD>(wait) : 0;
}

static DWORD WINAPI ResponderThread(void *parameter) {
    MdnsResponder *r = static_cast<MdnsResponder *>(parameter);
    CheckLinks(r, GetTickCount());
    StartProbing(r, RandomBelow(r, PROBE_GAP_MS));
    HANDLE events[2] = {r->StopEvent, r->SocketEvent};
    for (;;) {
        DWORD now = GetTickCount();
        RunSteps(r, now);
        if (r->AnyDue && Reached(now, r->DueAt))
            SendDue(r, now);
        if (Reached(now, r->LinkCheckAt))
            CheckLinks(r, now);
        DWORD woken = WaitForMultipleObjects(2, events, FALSE, WaitFor(r, GetTickCount()));
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED)
            break;
        if (woken == WAIT_OBJECT_0 + 1)
            ReceiveMessages(r);
    }
    if (r->Announced)
        MulticastEverywhere(r, MdnsTtl::Goodbye);
    return 0;
}

static void FreeResponder(MdnsResponder *r) {
    if (r->Socket != INVALID_SOCKET)
        closesocket(r->Socket);
    if (r->SocketEvent != WSA_INVALID_EVENT)
        WSACloseEvent(r->SocketEvent);
    if (r->StopEvent)
        CloseHandle(r->StopEvent);
    delete r;
    WSACleanup();
}

MdnsResponder *StartMdnsResponder(const wchar_t *settingsPath, uint16_t port, CLogFile *log) {
    MdnsResponder *r = new MdnsResponder;
    r->Log = log;
    r->Identity.Port = port;
    // A reference of its own: the service's Stop ends Winsock before Run
    // returns, and the goodbyes still have to go out after that.
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        delete r;
        return nullptr;
    }
    if (!ReadSettings(settingsPath, r)) {
        FreeResponder(r);
        return nullptr;
    }
    r->Random = GetTickCount() ^ (GetCurrentProcessId() << 16) ^ port;
    r->Random = r->Random ? r->Random : 1;
    r->Socket = OpenMdnsSocket(MDNS_PORT);
    r->SocketEvent = WSACreateEvent();
    r->StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (r->Socket == INVALID_SOCKET || r->SocketEvent == WSA_INVALID_EVENT || !r->StopEvent ||
        !TakeName(r) || WSAEventSelect(r->Socket, r->SocketEvent, FD_READ) == SOCKET_ERROR ||
        !(r->Thread = CreateThread(nullptr, 0, ResponderThread, r, 0, nullptr))) {
        if (log)
            log->WriteMessage(L"Can't announce the service on the local network\n");
        FreeResponder(r);
        return nullptr;
    }
    return r;
}

void StopMdnsResponder(MdnsResponder *responder) {
    if (!responder)
        return;
    SetEvent(responder->StopEvent);
    WaitForSingleObject(responder->Thread, INFINITE);
    CloseHandle(responder->Thread);
    FreeResponder(responder);
}
