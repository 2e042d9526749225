// Helpers shared by the test programs.
#include "test_support.h"

#include <shellapi.h>
#include <winternl.h>
#include <wctype.h>
#include <stdio.h>
#include <string.h>

void EnsureWinsock() {
    static bool started;
    if (!started) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        started = true;
    }
}

uint16_t FreePort() {
    EnsureWinsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address);
    int length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr *>(&address), &length);
    closesocket(s);
    return ntohs(address.sin_port);
}

SOCKET ConnectLoopback(uint16_t port) {
    EnsureWinsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

bool WaitForPort(uint16_t port, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    do {
        SOCKET s = ConnectLoopback(port);
        if (s != INVALID_SOCKET) {
            closesocket(s);
            return true;
        }
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

bool SendAll(SOCKET socket, const void *data, int length) {
    const char *bytes = static_cast<const char *>(data);
    while (length > 0) {
        int sent = send(socket, bytes, length, 0);
        if (sent <= 0)
            return false;
        bytes += sent;
        length -= sent;
    }
    return true;
}

bool SendFrame(SOCKET socket, uint8_t code, const void *payload, int32_t length) {
    unsigned char header[FRAME_HEADER_SIZE];
    EncodeFrameHeader(code, length, header);
    if (!SendAll(socket, header, FRAME_HEADER_SIZE))
        return false;
    return !payload || length <= 0 || SendAll(socket, payload, length);
}

bool SendFrame(SOCKET socket, uint8_t code, const std::vector<unsigned char> &payload) {
    return SendFrame(socket, code, payload.empty() ? nullptr : payload.data(),
                     static_cast<int32_t>(payload.size()));
}

static bool Readable(SOCKET socket, DWORD timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval timeout = {static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &timeout) == 1;
}

bool ReceiveFrame(SOCKET socket, FrameHeader *frame, DWORD timeoutMs) {
    unsigned char raw[FRAME_HEADER_SIZE];
    int received = 0;
    DWORD start = GetTickCount();
    while (received < FRAME_HEADER_SIZE) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs || !Readable(socket, timeoutMs - elapsed))
            return false;
        int got = recv(socket, reinterpret_cast<char *>(raw) + received,
                       FRAME_HEADER_SIZE - received, 0);
        if (got <= 0)
            return false;
        received += got;
    }
    *frame = DecodeFrameHeader(raw);
    return true;
}

int32_t AwaitReplyCollectingPlayed(SOCKET socket, uint8_t code, int64_t *played,
                                   DWORD timeoutMs) {
    DWORD start = GetTickCount();
    FrameHeader frame;
    while (GetTickCount() - start < timeoutMs) {
        if (!ReceiveFrame(socket, &frame, timeoutMs))
            break;
        if (frame.Code == CMD_PLAYED) {
            if (played)
                *played += frame.Value;
            continue;
        }
        if (frame.Code == code)
            return frame.Value;
    }
    return -1000;
}

std::string PlayOneBuffer(SOCKET socket, const std::vector<unsigned char> &format, int32_t bytes) {
    FrameHeader frame;
    if (!SendFrame(socket, CMD_OPEN, format) || !ReceiveFrame(socket, &frame))
        return "no reply to the open";
    if (frame.Code != CMD_OPEN || frame.Value != 0)
        return "open answered {" + std::to_string(frame.Code) + ", " +
               std::to_string(frame.Value) + "}";
    if (!SendFrame(socket, CMD_WRITE, std::vector<unsigned char>(bytes, 0)) ||
        !ReceiveFrame(socket, &frame))
        return "no frame after the write";
    if (frame.Code != CMD_PLAYED || frame.Value != bytes)
        return "the write came back as {" + std::to_string(frame.Code) + ", " +
               std::to_string(frame.Value) + "}";
    return "";
}

bool PeerClosed(SOCKET socket, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    char sink[4096];
    while (GetTickCount() - start < timeoutMs) {
        if (!Readable(socket, 100))
            continue;
        if (recv(socket, sink, sizeof sink, 0) <= 0)
            return true;
    }
    return false;
}

std::vector<unsigned char> PcmFormatBytes(uint32_t rate, uint16_t channels, uint16_t bits) {
    PcmFormat format = MakePcmFormat(rate, channels, bits);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&format);
    return std::vector<unsigned char>(bytes, bytes + sizeof format);
}

std::vector<unsigned char> VolumeBytes(uint32_t word) {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&word);
    return std::vector<unsigned char>(bytes, bytes + 4);
}

std::wstring MakeTempFolder(const wchar_t *prefix) {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static LONG counter;
    wchar_t folder[MAX_PATH];
    _snwprintf(folder, MAX_PATH, L"%ls%ls_%lu_%ld", base, prefix, GetCurrentProcessId(),
               InterlockedIncrement(&counter));
    CreateDirectoryW(folder, nullptr);
    return folder;
}

void RemoveFolder(const std::wstring &folder) {
    std::wstring pattern = folder + L"\\*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L".."))
                DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

bool WriteFileBytes(const std::wstring &path, const std::string &bytes) {
    FILE *file = _wfopen(path.c_str(), L"wb");
    if (!file)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    fclose(file);
    return ok;
}

std::string ReadFileBytes(const std::wstring &path) {
    std::string bytes;
    FILE *file = _wfopen(path.c_str(), L"rb");
    if (!file)
        return bytes;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.append(chunk, got);
    fclose(file);
    return bytes;
}

static DWORD WINAPI DrainPipe(void *argument) {
    auto *pair = static_cast<std::pair<HANDLE, std::string *> *>(argument);
    char chunk[4096];
    DWORD got;
    while (ReadFile(pair->first, chunk, sizeof chunk, &got, nullptr) && got > 0)
        pair->second->append(chunk, got);
    return 0;
}

ProcessResult RunProcess(const std::wstring &commandLine, DWORD timeoutMs) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    CreatePipe(&outRead, &outWrite, &inherit, 0);
    CreatePipe(&errRead, &errWrite, &inherit, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process = {};
    std::wstring mutableLine = commandLine;
    BOOL created = CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &process);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    std::pair<HANDLE, std::string *> outPair(outRead, &result.Out), errPair(errRead, &result.Err);
    HANDLE readers[2] = {CreateThread(nullptr, 0, DrainPipe, &outPair, 0, nullptr),
                         CreateThread(nullptr, 0, DrainPipe, &errPair, 0, nullptr)};
    if (!created) {
        result.ExitCode = static_cast<DWORD>(-1);
    } else {
        if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
            result.TimedOut = true;
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 5000);
        }
        GetExitCodeProcess(process.hProcess, &result.ExitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    WaitForMultipleObjects(2, readers, TRUE, 5000);
    CloseHandle(readers[0]);
    CloseHandle(readers[1]);
    CloseHandle(outRead);
    CloseHandle(errRead);
    return result;
}

DaemonCopy MakeDaemonCopy(const char *iniText) {
    DaemonCopy daemon;
    daemon.Folder = MakeTempFolder(L"tonvaled");
    daemon.Exe = daemon.Folder + L"\\Tonvaled.exe";
    CopyFileW(Widen(TONVALED_PATH).c_str(), daemon.Exe.c_str(), FALSE);
    if (iniText)
        WriteFileBytes(daemon.Folder + L"\\Tonvaled.ini", iniText);
    return daemon;
}

bool StartDebugDaemon(DaemonCopy *daemon) {
    if (daemon->Port == 0) {
        daemon->Port = FreePort();
        char ini[64];
        snprintf(ini, sizeof ini, "[COMMON]\r\nlisternPort=%u\r\nAnnounce=0\r\n", daemon->Port);
        WriteFileBytes(daemon->Folder + L"\\Tonvaled.ini", ini);
    }
    daemon->OutPath = daemon->Folder + L"\\debug.out";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(daemon->OutPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    std::wstring commandLine = L"\"" + daemon->Exe + L"\" /debug";
    BOOL created = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  daemon->Folder.c_str(), &startup, &daemon->Process);
    CloseHandle(out);
    return created && WaitForPort(daemon->Port, 15000);
}

void KillDaemon(DaemonCopy *daemon) {
    if (!daemon->Process.hProcess)
        return;
    TerminateProcess(daemon->Process.hProcess, 0);
    WaitForSingleObject(daemon->Process.hProcess, 5000);
    CloseHandle(daemon->Process.hProcess);
    CloseHandle(daemon->Process.hThread);
    daemon->Process = {};
}

void DeleteDaemonCopy(DaemonCopy *daemon) {
    KillDaemon(daemon);
    RemoveFolder(daemon->Folder);
}

void RemoveInstalledService() {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(scm, L"Tonvaled", SERVICE_ALL_ACCESS);
    if (service) {
        SERVICE_STATUS status;
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        for (int i = 0; i < 100 && QueryServiceStatus(service, &status) &&
                        status.dwCurrentState != SERVICE_STOPPED;
             i++)
            Sleep(100);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    for (int i = 0; i < 50; i++) {
        SC_HANDLE left = OpenServiceW(scm, L"Tonvaled", SERVICE_QUERY_STATUS);
        if (!left)
            break;
        CloseServiceHandle(left);
        Sleep(100);
    }
    CloseServiceHandle(scm);
}

StoredServiceConfig QueryStoredServiceConfig() {
    StoredServiceConfig config;
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(scm, L"Tonvaled", SERVICE_QUERY_CONFIG);
    if (service) {
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        auto *query = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
        if (QueryServiceConfigW(service, query, buffer.size(), &needed)) {
            config.Found = true;
            config.ServiceType = query->dwServiceType;
            config.StartType = query->dwStartType;
            config.ErrorControl = query->dwErrorControl;
            config.BinaryPath = query->lpBinaryPathName ? query->lpBinaryPathName : L"";
            config.DisplayName = query->lpDisplayName ? query->lpDisplayName : L"";
        }
        std::vector<BYTE> text(8192);
        if (QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, text.data(), text.size(),
                                 &needed)) {
            auto *description = reinterpret_cast<SERVICE_DESCRIPTIONW *>(text.data());
            if (description->lpDescription)
                config.Description = description->lpDescription;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(scm);
    return config;
}

std::vector<ProcessEntry> RunningProcesses() {
    std::vector<ProcessEntry> processes;
    std::vector<char> buffer(1 << 20);
    ULONG length = 0;
    if (NtQuerySystemInformation(SystemProcessInformation, buffer.data(), buffer.size(),
                                 &length) != 0)
        return processes;
    for (size_t at = 0;;) {
        auto *entry = reinterpret_cast<SYSTEM_PROCESS_INFORMATION *>(&buffer[at]);
        ProcessEntry process;
        process.Id = static_cast<DWORD>(reinterpret_cast<DWORD_PTR>(entry->UniqueProcessId));
        if (entry->ImageName.Buffer)
            process.ImageName.assign(entry->ImageName.Buffer,
                                     entry->ImageName.Length / sizeof(wchar_t));
        processes.push_back(process);
        if (!entry->NextEntryOffset)
            return processes;
        at += entry->NextEntryOffset;
    }
}

// The system handle list holds one entry per open handle of every process.
// Its record is not in the SDK headers.
struct SystemHandleEntry {
    USHORT ProcessId;
    USHORT CreatorBackTraceIndex;
    UCHAR ObjectType;
    UCHAR Attributes;
    USHORT Value;
    void *Object;
    ULONG GrantedAccess;
};
struct SystemHandleList {
    ULONG Count;
    SystemHandleEntry Handles[1];
};
static const int SystemHandleInformationClass = 16;
static const NTSTATUS StatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

static DWORD HandleCountOf(DWORD processId) {
    std::vector<char> buffer(1 << 20);
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(
                static_cast<SYSTEM_INFORMATION_CLASS>(SystemHandleInformationClass),
                buffer.data(), buffer.size(), nullptr)) == StatusInfoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return 0;
    const auto *list = reinterpret_cast<const SystemHandleList *>(buffer.data());
    DWORD count = 0;
    for (ULONG i = 0; i < list->Count; i++)
        if (list->Handles[i].ProcessId == processId)
            count++;
    return count;
}

// The Linux process whose command line names the daemon's own folder.
static SIZE_T AnonymousResidentBytesOf(const DaemonCopy &daemon) {
    std::wstring folder = daemon.Folder.substr(daemon.Folder.rfind(L'\\') + 1);
    std::string fragment = Narrow(folder);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &found);
    SIZE_T bytes = 0;
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (!iswdigit(found.cFileName[0]))
            continue;
        std::wstring base = std::wstring(L"Z:\\proc\\") + found.cFileName;
        std::string commandLine = ReadFileBytes(base + L"\\cmdline");
        if (commandLine.find(fragment) == std::string::npos ||
            commandLine.find("Tonvaled.exe") == std::string::npos)
            continue;
        std::string status = ReadFileBytes(base + L"\\status");
        size_t at = status.find("RssAnon:");
        if (at != std::string::npos)
            bytes = strtoul(status.c_str() + at + 8, nullptr, 10) * 1024;
        break;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return bytes;
}

ProcessFigures FiguresOf(const DaemonCopy &daemon) {
    ProcessFigures figures;
    figures.Handles = HandleCountOf(daemon.Process.dwProcessId);
    figures.PrivateBytes = AnonymousResidentBytesOf(daemon);
    return figures;
}

// parec is a Linux program, started from its Z: path. Wine hands back no
// process handle that can be waited on, so the script leaves a marker file
// once the recorder has ended; timeout stops it with SIGINT so that it writes
// out what it holds.
static std::string UnixPath(const std::wstring &path) {
    typedef char *(CDECL * ToUnix)(const wchar_t *);
    ToUnix toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char *converted = toUnix ? toUnix(path.c_str()) : nullptr;
    if (!converted)
        return Narrow(path);
    std::string unixPath = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return unixPath;
}

bool StartRecorder(const std::wstring &path, int seconds) {
    std::wstring marker = path + L".done";
    DeleteFileW(marker.c_str());
    std::string target = UnixPath(path);
    const char *sink = getenv("TONVALE_SINK");
    char command[1024];
    snprintf(command, sizeof command,
             "bash -c \"/usr/bin/timeout -s INT %d /usr/bin/parec --raw --latency-msec=10 "
             "--format=s16le --rate=44100 --channels=2 -d %s.monitor > '%s'; touch '%s.done'\"",
             seconds, sink ? sink : "tonvale_sink", target.c_str(), target.c_str());
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA("Z:\\usr\\bin\\bash", command, nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return false;
    // Give parec time to connect before the caller starts the stream.
    Sleep(500);
    return true;
}

bool WaitForRecorder(const std::wstring &path, DWORD timeoutMs) {
    std::wstring marker = path + L".done";
    DWORD start = GetTickCount();
    while (GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(50);
    }
    return true;
}

std::vector<int16_t> ReadSamples(const std::wstring &path) {
    std::string bytes = ReadFileBytes(path);
    std::vector<int16_t> samples(bytes.size() / 2);
    memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

std::vector<int16_t> NoiseSignal(size_t frames, uint32_t seed) {
    std::vector<int16_t> samples(frames * 2);
    uint32_t state = seed;
    for (auto &sample : samples) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<int16_t>(state >> 16);
    }
    return samples;
}

std::vector<int16_t> TrimLeadingSilence(const std::vector<int16_t> &recorded) {
    size_t start = 0;
    while (start + 1 < recorded.size() && recorded[start] == 0 && recorded[start + 1] == 0)
        start += 2;
    return std::vector<int16_t>(recorded.begin() + start, recorded.end());
}

long FindAlignment(const std::vector<int16_t> &sent, const std::vector<int16_t> &recorded,
                   size_t probe) {
    if (recorded.size() < probe)
        return -1;
    for (size_t start = 0; start + probe <= sent.size(); start += 2) {
        if (memcmp(&sent[start], &recorded[0], probe * sizeof(int16_t)) == 0)
            return static_cast<long>(start);
    }
    return -1;
}

PlayedComparison ComparePlayed(const std::vector<int16_t> &sent,
                               const std::vector<int16_t> &recorded, size_t offset) {
    PlayedComparison result;
    size_t at = 0;
    for (size_t want = offset; want + 1 < sent.size() && at + 1 < recorded.size(); at += 2) {
        bool same = recorded[at] == sent[want] && recorded[at + 1] == sent[want + 1];
        if (!same && recorded[at] == 0 && recorded[at + 1] == 0) {
            result.GapFrames++;
            continue;
        }
        for (size_t i = 0; i < 2; i++) {
            if (recorded[at + i] != sent[want + i] && result.Mismatches++ == 0)
                result.FirstMismatch = result.Compared + i;
        }
        result.Compared += 2;
        want += 2;
    }
    return result;
}

std::string Crlf(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

std::wstring Widen(const std::string &text) {
    int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(length > 0 ? length - 1 : 0, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], length);
    return wide;
}

std::string Narrow(const std::wstring &text) {
    int length = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(length > 0 ? length - 1 : 0, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], length, nullptr, nullptr);
    return narrow;
}
