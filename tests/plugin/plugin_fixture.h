// Test helpers for the output plug-in: a copy of the real DLL loaded from a
// temporary folder of its own, a scripted TCP server that records every byte
// the plug-in sends and answers as each test tells it, and a catcher for the
// message boxes and dialogs that the plug-in shows on the calling thread.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugin/out_module.h"
#include "protocol/frames.h"

void StartWinsock();
uint16_t UnusedPort();
std::string MakeScratchFolder();
void DeleteScratchFolder(const std::string &folder);
std::string ReadWholeFile(const std::string &path);
void WriteWholeFile(const std::string &path, const std::string &text);

// A copy of out_tonvale.dll in a new folder, with its INI written first when
// `iniText` is not null.
struct PluginCopy {
    std::string Folder;
    std::string DllPath;
    std::string IniPath;
    HMODULE Module = nullptr;
    Out_Module *Out = nullptr;
    bool Started = false;
};
bool LoadPluginCopy(PluginCopy *copy, const char *iniText);
// Quits the module if it was started, unloads it and deletes the folder.
void UnloadPluginCopy(PluginCopy *copy);
std::string IniFor(uint16_t port, int buffSize = 2000, const char *addr = "127.0.0.1");

struct ReceivedFrame {
    int Connection;
    uint8_t Code;
    int32_t Length;
    std::vector<unsigned char> Payload;
    DWORD Tick;
};

enum class Answer { Reply, Silent, Late, Split, CloseConnection };
struct ReplyRule {
    Answer How = Answer::Reply;
    int32_t Value = 0;
    DWORD DelayMs = 0;
};

class ScriptServer {
public:
    ~ScriptServer();
    // Listens on 127.0.0.1, on `port` or a free one when it is 0.
    bool Start(uint16_t port = 0);
    void Stop();
    uint16_t Port() const { return port_; }

    void SetRule(uint8_t code, ReplyRule rule);
    // The next CMD_WRITE makes the server reset the connection (RST).
    void ResetOnNextWrite();
    // Keeps the server's end of a connection open after the client's end
    // has closed, as a hung peer would.
    void HoldAfterPeerClose();
    // Sends a service frame on the current connection.
    bool SendFrame(uint8_t code, int32_t value);
    // Sends a 5-byte frame in two pieces with a pause in between.
    bool SendSplitFrame(uint8_t code, int32_t value, DWORD pauseMs = 100);
    // Closes the current connection from the server's side.
    void CloseConnection();

    std::vector<ReceivedFrame> Frames();
    std::vector<ReceivedFrame> FramesOf(uint8_t code);
    std::string RawBytes(int connection);
    bool WaitForFrames(size_t count, DWORD timeoutMs = 5000);
    int Connections();
    bool WaitForConnections(int count, DWORD timeoutMs = 5000);
    // True once the current connection has been closed by the peer.
    bool WaitForPeerGone(DWORD timeoutMs = 5000);

private:
    void Serve();
    void HandleConnection(SOCKET client, int number);
    void Answer(SOCKET client, const ReceivedFrame &frame);
    bool SendBytes(SOCKET client, const void *data, int length);
    bool Readable(SOCKET client);
    bool ReceiveAll(SOCKET client, char *into, int length, std::string *raw);

    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::mutex sendMutex_;
    SOCKET current_ = INVALID_SOCKET;
    int connections_ = 0;
    bool peerGone_ = false;
    bool closeRequested_ = false;
    bool holdAfterPeerClose_ = false;
    bool resetOnWrite_ = false;
    bool stopping_ = false;
    ReplyRule rules_[9];
    std::vector<ReceivedFrame> frames_;
    std::vector<std::string> raw_;
    std::vector<std::thread> lateReplies_;
};

struct CaughtBox {
    std::string Title;
    std::string Text;
    HWND Owner = nullptr;
    // MB_ICONERROR, MB_ICONINFORMATION, ... or 0 when no icon shows.
    UINT Icon = 0;
    std::vector<std::pair<int, std::string>> Buttons;
    DWORD Tick = 0;
};

// Catches every dialog-class window activated on the installing thread.
// Message boxes are read and dismissed with IDOK; a window whose title has a
// handler is given to it instead (it must end the window itself).
class WindowCatcher {
public:
    WindowCatcher();
    ~WindowCatcher();
    void OnWindow(const std::string &title, std::function<void(HWND)> handler);
    std::vector<CaughtBox> Boxes() const { return boxes_; }
    void Clear() { boxes_.clear(); }

private:
    static LRESULT CALLBACK HookProc(int code, WPARAM wParam, LPARAM lParam);
    static void CALLBACK TimerProc(HWND window, UINT, UINT_PTR id, DWORD);
    void Handle(HWND window);

    HHOOK hook_ = nullptr;
    std::vector<std::pair<std::string, std::function<void(HWND)>>> handlers_;
    std::vector<CaughtBox> boxes_;
};

CaughtBox ReadBox(HWND box);
std::string WindowText(HWND window);
std::string ClassOf(HWND window);
std::vector<unsigned char> Bytes(std::initializer_list<int> values);
std::vector<unsigned char> PcmBytes(uint32_t rate, uint16_t channels, uint16_t bits);
// Milliseconds since `start`, for generous upper bounds only.
DWORD Since(DWORD start);
// Paints `window` and saves a PNG of the whole display at `linuxPath` with
// ImageMagick's import; true when a PNG arrived.
bool SaveScreenshot(HWND window, const std::string &linuxPath);
