// The DLL's entry point, the module record that winampGetOutModule hands
// out, and the operations that start and stop the module and carry a stream.
#include <winsock2.h>
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "plugin/accounting.h"
#include "plugin/config_dialog.h"
#include "plugin/out_module.h"
#include "plugin/plugin_state.h"
#include "plugin/position_clock.h"
#include "plugin/server_link.h"
#include "plugin/settings.h"
#include "plugin/stream_resume.h"
#include "plugin/volume.h"

enum { MODULE_ID = 33 };

static void __cdecl About(HWND parent);
static void __cdecl Init();
static void __cdecl Quit();
static int __cdecl Open(int sampleRate, int numChannels, int bitsPerSample, int, int);
static void __cdecl Close();
static int __cdecl Write(char *buffer, int length);
static int __cdecl Pause(int pause);

static Out_Module Module = {
    OUT_VER,     PluginTitle, MODULE_ID, nullptr,   nullptr,   Config,
    About,       Init,        Quit,      Open,      Close,     Write,
    CanWrite,    IsPlaying,   Pause,     SetVolume, SetPan,    Flush,
    GetOutputTime, GetWrittenTime,
};

extern "C" __declspec(dllexport) Out_Module *__cdecl winampGetOutModule() { return &Module; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        PluginState.ModuleInstance = instance;
        ComputeSettingsPath();
    }
    return TRUE;
}

static void __cdecl Init() {
    PluginState.Volume = 0;
    PluginState.Pan = 0;
    PluginState.StreamOpen = 0;
    ReadSettings();
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0) {
        LinkFailure("No server connection!");
        return;
    }
    if (ConnectServer() == INVALID_SOCKET) LinkFailure("No server connection!");
}

static void __cdecl Quit() {
    StreamClosed();
    DropLink();
    WSACleanup();
    WriteSettings();
}

static int __cdecl Open(int sampleRate, int numChannels, int bitsPerSample, int, int) {
    // A stream still being put back (Close never came) ends here.
    StreamClosed();
    // A connection that the service has ended (it restarted, or gave the slot
    // of an idle client to another) cannot carry the stream: connect anew.
    if (LinkReaderEnded()) DropLink();
    if (PluginState.LinkSocket == INVALID_SOCKET && ConnectServer() == INVALID_SOCKET) {
        LinkFailure("No server connection!");
        return -1;
    }
    PcmFormat format = FormatOf(sampleRate, numChannels, bitsPerSample);
    PluginState.BytesPerSecond = static_cast<int>(format.AvgBytesPerSec);
    StoreCounter(&PluginState.BufferBytes,
                 BufferBytesOf(PluginState.BytesPerSecond, PluginState.BuffSize));

    if (!SendRequest(CMD_OPEN, &format, sizeof format) || !AwaitReply(CMD_OPEN)) {
        LinkFailure("Can't open sound device at server");
        return -1;
    }
    StoreCounter(&PluginState.PlayedBytes, 0);
    StoreCounter(&PluginState.WrittenBytes, 0);
    ClockRestart(0);
    PluginState.NumChannels = numChannels;
    PluginState.SampleRate = sampleRate;
    PluginState.BitsPerSample = bitsPerSample;
    PluginState.Paused = 0;
    PluginState.StreamOpen = 1;
    StreamOpened();
    return PluginState.BuffSize;
}

static void __cdecl Close() {
    // A stream that lost its link has no connection to close: the attempt to
    // put it back ends at once.
    int was = StreamClosed();
    if (was == STREAM_NONE || was == STREAM_LINKED) {
        if (SendRequest(CMD_CLOSE, nullptr, 0)) AwaitReply(CMD_CLOSE);
    }
    PluginState.StreamOpen = 0;
}

// A Write with no stream to put back: a failed send is reported at once.
static int WriteUnkept(char *buffer, int length) {
    // On a connection that the service has ended a send may still go out into
    // the void; the failure is reported now rather than never.
    if (LinkReaderEnded() || !SendRequest(CMD_WRITE, buffer, length)) return SendFailure();
    AddToCounter(&PluginState.WrittenBytes, length);
    return 0;
}

static int __cdecl Write(char *buffer, int length) {
    // A length with no buffer would announce bytes that never follow.
    if (length <= 0 || !buffer) return 1;
    EnterStream();
    int state = StreamState();
    if (StreamGivenUp(state)) {
        bool report = TakeGivenUpReport();
        LeaveStream();
        if (report) ReportSendFailure();
        return 0;
    }
    if (state == STREAM_NONE) {
        LeaveStream();
        return WriteUnkept(buffer, length);
    }
    // Kept until the service reports them played, so that a service that is
    // back after a lost link gets them again.
    KeepBytes(buffer, length);
    AddToCounter(&PluginState.WrittenBytes, length);
    if (state == STREAM_LINKED && (LinkReaderEnded() || !SendRequest(CMD_WRITE, buffer, length)))
        StreamLinkLost();
    LeaveStream();
    return 0;
}

static int __cdecl Pause(int pause) {
    EnterStream();
    int previous = PluginState.Paused;
    if (previous != 0 && pause == 0) ClockResume();
    PluginState.Paused = pause;
    RestartSilenceWatch();
    // While the link is down the pause is kept, and applied once it is back.
    int state = StreamState();
    if (state == STREAM_NONE || state == STREAM_LINKED)
        SendRequest(pause != 0 ? CMD_PAUSE : CMD_RESUME, nullptr, 0);
    LeaveStream();
    return previous;
}

// __DATE__ pads a one-digit day with a blank ("Dec  8 2026"); the About box
// shows the day with a single blank before it, as in "Dec 15 2007".
static void FormatBuildDate(char *out, size_t capacity) {
    static const char date[] = __DATE__;
    size_t used = 0;
    for (size_t i = 0; date[i] != '\0' && used + 1 < capacity; ++i) {
        if (date[i] == ' ' && i > 0 && date[i - 1] == ' ') continue;
        out[used++] = date[i];
    }
    out[used] = '\0';
}

static void __cdecl About(HWND parent) {
    char date[16];
    FormatBuildDate(date, sizeof date);
    char text[128];
    snprintf(text, sizeof text, "%s\n\nCompiled on %s\n", PluginTitle, date);
    MessageBoxA(parent, text, "About", MB_OK);
}
