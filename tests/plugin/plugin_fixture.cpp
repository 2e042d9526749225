// Test helpers for the output plug-in: the DLL copy, the scripted server and
// the window catcher.
#include "plugin_fixture.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

void StartWinsock() {
    static bool started = false;
    if (started) return;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    started = true;
}

uint16_t UnusedPort() {
    StartWinsock();
    SOCKET probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address);
    int length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    closesocket(probe);
    return ntohs(address.sin_port);
}

std::string MakeScratchFolder() {
    static LONG counter = 0;
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    char folder[MAX_PATH];
    snprintf(folder, sizeof folder, "%stvplugin_%lu_%ld_%lu", base, GetCurrentProcessId(),
             InterlockedIncrement(&counter), GetTickCount());
    CreateDirectoryA(folder, nullptr);
    return folder;
}

void DeleteScratchFolder(const std::string &folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name != "." && name != "..") DeleteFileA((folder + "\\" + name).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

std::string ReadWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteWholeFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

bool LoadPluginCopy(PluginCopy *copy, const char *iniText) {
    copy->Folder = MakeScratchFolder();
    copy->DllPath = copy->Folder + "\\out_tonvale.dll";
    copy->IniPath = copy->Folder + "\\out_tonvale.ini";
    if (!CopyFileA(PLUGIN_DLL_PATH, copy->DllPath.c_str(), FALSE)) return false;
    if (iniText) WriteWholeFile(copy->IniPath, iniText);
    copy->Module = LoadLibraryA(copy->DllPath.c_str());
    if (!copy->Module) return false;
    auto get = reinterpret_cast<GetOutModuleFunction>(
        reinterpret_cast<void *>(GetProcAddress(copy->Module, "winampGetOutModule")));
    if (!get) return false;
    copy->Out = get();
    return copy->Out != nullptr;
}

void UnloadPluginCopy(PluginCopy *copy) {
    if (copy->Started && copy->Out) copy->Out->Quit();
    copy->Started = false;
    if (copy->Module) FreeLibrary(copy->Module);
    copy->Module = nullptr;
    copy->Out = nullptr;
    if (!copy->Folder.empty()) DeleteScratchFolder(copy->Folder);
}

std::string IniFor(uint16_t port, int buffSize, const char *addr) {
    return std::string("[COMMON]\r\nServerAddr=") + addr + "\r\nServerPort=" +
           std::to_string(port) + "\r\nBuffSize=" + std::to_string(buffSize) + "\r\n";
}

// ---- scripted server ------------------------------------------------------

ScriptServer::~ScriptServer() { Stop(); }

bool ScriptServer::Start(uint16_t port) {
    StartWinsock();
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    stopping_ = false;
    // Started again on its port while the last connection's end lingers.
    BOOL reuse = TRUE;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&reuse),
               sizeof reuse);
    if (bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return false;
    int length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (listen(listener_, 4) != 0) return false;
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void ScriptServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        listener_ = INVALID_SOCKET;
    }
    if (thread_.joinable()) thread_.join();
    for (auto &late : lateReplies_)
        if (late.joinable()) late.join();
    lateReplies_.clear();
}

void ScriptServer::SetRule(uint8_t code, ReplyRule rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_[code] = rule;
}

void ScriptServer::HoldAfterPeerClose() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdAfterPeerClose_ = true;
}

void ScriptServer::ResetOnNextWrite() {
    std::lock_guard<std::mutex> lock(mutex_);
    resetOnWrite_ = true;
}

bool ScriptServer::SendBytes(SOCKET client, const void *data, int length) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    return send(client, static_cast<const char *>(data), length, 0) == length;
}

bool ScriptServer::SendFrame(uint8_t code, int32_t value) {
    SOCKET client;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        client = current_;
    }
    unsigned char frame[FRAME_HEADER_SIZE];
    EncodeFrameHeader(code, value, frame);
    return client != INVALID_SOCKET && SendBytes(client, frame, sizeof frame);
}

bool ScriptServer::SendSplitFrame(uint8_t code, int32_t value, DWORD pauseMs) {
    SOCKET client;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        client = current_;
    }
    if (client == INVALID_SOCKET) return false;
    unsigned char frame[FRAME_HEADER_SIZE];
    EncodeFrameHeader(code, value, frame);
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (send(client, reinterpret_cast<char *>(frame), 2, 0) != 2) return false;
    Sleep(pauseMs);
    return send(client, reinterpret_cast<char *>(frame) + 2, 3, 0) == 3;
}

void ScriptServer::CloseConnection() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_ != INVALID_SOCKET) closeRequested_ = true;
}

std::vector<ReceivedFrame> ScriptServer::Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

std::vector<ReceivedFrame> ScriptServer::FramesOf(uint8_t code) {
    std::vector<ReceivedFrame> all = Frames();
    std::vector<ReceivedFrame> chosen;
    for (const auto &frame : all)
        if (frame.Code == code) chosen.push_back(frame);
    return chosen;
}

std::string ScriptServer::RawBytes(int connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection < static_cast<int>(raw_.size()) ? raw_[connection] : std::string();
}

bool ScriptServer::WaitForFrames(size_t count, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (Since(start) < timeoutMs) {
        if (Frames().size() >= count) return true;
        Sleep(5);
    }
    return Frames().size() >= count;
}

int ScriptServer::Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

bool ScriptServer::WaitForConnections(int count, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (Since(start) < timeoutMs) {
        if (Connections() >= count) return true;
        Sleep(5);
    }
    return Connections() >= count;
}

bool ScriptServer::WaitForPeerGone(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (Since(start) < timeoutMs) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (peerGone_) return true;
        }
        Sleep(5);
    }
    return false;
}

void ScriptServer::Serve() {
    for (;;) {
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        int number;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                closesocket(client);
                return;
            }
            number = connections_++;
            raw_.resize(connections_);
            current_ = client;
            peerGone_ = false;
            closeRequested_ = false;
        }
        HandleConnection(client, number);
        bool hold;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            peerGone_ = true;
            hold = holdAfterPeerClose_;
        }
        // A server that keeps its end open after the client has shut down.
        while (hold) {
            Sleep(10);
            std::lock_guard<std::mutex> lock(mutex_);
            hold = !stopping_ && !closeRequested_;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            peerGone_ = true;
            if (current_ == client) current_ = INVALID_SOCKET;
        }
        closesocket(client);
    }
}

// Waits for data in short slices so that the test thread can end the
// connection: a receive blocked under Wine does not notice a shutdown made
// by another thread.
bool ScriptServer::Readable(SOCKET client) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_ || closeRequested_) return false;
        }
        fd_set set;
        FD_ZERO(&set);
        FD_SET(client, &set);
        timeval slice = {0, 20000};
        int ready = select(0, &set, nullptr, nullptr, &slice);
        if (ready != 0) return ready > 0;
    }
}

bool ScriptServer::ReceiveAll(SOCKET client, char *into, int length, std::string *raw) {
    int have = 0;
    while (have < length) {
        if (!Readable(client)) return false;
        int got = recv(client, into + have, length - have, 0);
        if (got <= 0) return false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            raw->append(into + have, got);
        }
        have += got;
    }
    return true;
}

void ScriptServer::HandleConnection(SOCKET client, int number) {
    for (;;) {
        unsigned char header[FRAME_HEADER_SIZE];
        std::string *raw;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            raw = &raw_[number];
        }
        if (!ReceiveAll(client, reinterpret_cast<char *>(header), FRAME_HEADER_SIZE, raw))
            return;
        FrameHeader decoded = DecodeFrameHeader(header);
        ReceivedFrame frame{number, decoded.Code, decoded.Value, {}, GetTickCount()};
        if (decoded.Value > 0) {
            frame.Payload.resize(decoded.Value);
            if (!ReceiveAll(client, reinterpret_cast<char *>(frame.Payload.data()), decoded.Value, raw))
                return;
        }
        bool reset = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(frame);
            if (frame.Code == CMD_WRITE && resetOnWrite_) {
                resetOnWrite_ = false;
                reset = true;
            }
        }
        if (reset) {
            linger hard = {1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<char *>(&hard), sizeof hard);
            return;
        }
        ReplyRule rule;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (frame.Code < 9) rule = rules_[frame.Code];
        }
        if (frame.Code != CMD_OPEN && frame.Code != CMD_FLUSH && frame.Code != CMD_CLOSE) continue;
        unsigned char reply[FRAME_HEADER_SIZE];
        EncodeFrameHeader(frame.Code, rule.Value, reply);
        switch (rule.How) {
        case Answer::Reply:
            SendBytes(client, reply, sizeof reply);
            break;
        case Answer::Silent:
            break;
        case Answer::Split: {
            std::lock_guard<std::mutex> lock(sendMutex_);
            send(client, reinterpret_cast<char *>(reply), 1, 0);
            Sleep(100);
            send(client, reinterpret_cast<char *>(reply) + 1, 4, 0);
            break;
        }
        case Answer::Late: {
            std::vector<unsigned char> bytes(reply, reply + sizeof reply);
            DWORD delay = rule.DelayMs;
            std::lock_guard<std::mutex> lock(mutex_);
            lateReplies_.emplace_back([this, client, bytes, delay] {
                Sleep(delay);
                std::lock_guard<std::mutex> guard(mutex_);
                if (current_ == client) SendBytes(client, bytes.data(), static_cast<int>(bytes.size()));
            });
            break;
        }
        case Answer::CloseConnection:
            return;
        }
    }
}

// ---- window catcher -------------------------------------------------------

static WindowCatcher *ActiveCatcher = nullptr;

WindowCatcher::WindowCatcher() {
    ActiveCatcher = this;
    hook_ = SetWindowsHookExA(WH_CBT, HookProc, nullptr, GetCurrentThreadId());
}

WindowCatcher::~WindowCatcher() {
    if (hook_) UnhookWindowsHookEx(hook_);
    ActiveCatcher = nullptr;
}

void WindowCatcher::OnWindow(const std::string &title, std::function<void(HWND)> handler) {
    handlers_.emplace_back(title, std::move(handler));
}

LRESULT CALLBACK WindowCatcher::HookProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE && ActiveCatcher) {
        HWND window = reinterpret_cast<HWND>(wParam);
        // Read once the window has settled, from its own modal loop.
        if (ClassOf(window) == "#32770" && !GetPropA(window, "tv_caught")) {
            SetPropA(window, "tv_caught", reinterpret_cast<HANDLE>(1));
            SetTimer(window, 0x7457, 30, TimerProc);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void CALLBACK WindowCatcher::TimerProc(HWND window, UINT, UINT_PTR id, DWORD) {
    KillTimer(window, id);
    if (ActiveCatcher) ActiveCatcher->Handle(window);
}

void WindowCatcher::Handle(HWND window) {
    std::string title = WindowText(window);
    for (auto &handler : handlers_) {
        if (handler.first == title) {
            handler.second(window);
            return;
        }
    }
    boxes_.push_back(ReadBox(window));
    PostMessageA(window, WM_COMMAND, IDOK, 0);
}

std::string WindowText(HWND window) {
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string ClassOf(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

static UINT IconKind(HICON icon) {
    static const std::pair<LPCSTR, UINT> kinds[] = {
        {IDI_ERROR, MB_ICONERROR},
        {IDI_INFORMATION, MB_ICONINFORMATION},
        {IDI_WARNING, MB_ICONWARNING},
        {IDI_QUESTION, MB_ICONQUESTION},
    };
    for (const auto &kind : kinds)
        if (LoadIconA(nullptr, kind.first) == icon) return kind.second;
    return 0xFFFFFFFF;  // an icon, but not a system one
}

CaughtBox ReadBox(HWND box) {
    CaughtBox caught;
    caught.Title = WindowText(box);
    caught.Text = WindowText(GetDlgItem(box, 0xFFFF));
    caught.Owner = GetWindow(box, GW_OWNER);
    caught.Tick = GetTickCount();
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child)) continue;
        LONG style = GetWindowLongA(child, GWL_STYLE);
        std::string kind = ClassOf(child);
        if (_stricmp(kind.c_str(), "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
            HICON icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
            if (icon) caught.Icon = IconKind(icon);
        } else if (_stricmp(kind.c_str(), "Button") == 0) {
            caught.Buttons.emplace_back(GetDlgCtrlID(child), WindowText(child));
        }
    }
    return caught;
}

std::vector<unsigned char> Bytes(std::initializer_list<int> values) {
    std::vector<unsigned char> bytes;
    for (int value : values) bytes.push_back(static_cast<unsigned char>(value));
    return bytes;
}

std::vector<unsigned char> PcmBytes(uint32_t rate, uint16_t channels, uint16_t bits) {
    PcmFormat format = MakePcmFormat(rate, channels, bits);
    const unsigned char *begin = reinterpret_cast<const unsigned char *>(&format);
    return std::vector<unsigned char>(begin, begin + sizeof format);
}

DWORD Since(DWORD start) { return GetTickCount() - start; }

bool SaveScreenshot(HWND window, const std::string &linuxPath) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    DeleteFileA(("Z:" + linuxPath).c_str());
    std::string command = "import -window root " + linuxPath;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA("Z:\\usr\\bin\\import", &command[0], nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &process))
        return false;
    // The Windows side does not reliably see a Linux child end, so wait for
    // the file to be complete instead, painting the window meanwhile.
    DWORD start = GetTickCount();
    size_t last = 0;
    int steady = 0;
    while (Since(start) < 15000 && steady < 5) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        Sleep(50);
        size_t now = ReadWholeFile("Z:" + linuxPath).size();
        steady = now > 8 && now == last ? steady + 1 : 0;
        last = now;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ReadWholeFile("Z:" + linuxPath).substr(1, 3) == "PNG";
}
