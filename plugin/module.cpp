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
    DropLink();
    WSACleanup();
    WriteSettings();
}

static int __cdecl Open(int sampleRate, int numChannels, int bitsPerSample, int, int) {
    // A connection that the service has ended (it restarted, or gave the slot
    // of an idle client to another) cannot carry the stream: connect anew.
    if (LinkReaderEnded()) DropLink();
    if (PluginState.LinkSocket == INVALID_SOCKET && ConnectServer() == INVALID_SOCKET) {
        LinkFailure("No server connection!");
        return -1;
    }
    uint16_t blockAlign = BlockAlignOf(numChannels, bitsPerSample);
    PluginState.BytesPerSecond = sampleRate * blockAlign;
    StoreCounter(&PluginState.BufferBytes,
                 BufferBytesOf(PluginState.BytesPerSecond, PluginState.BuffSize));

    PcmFormat format;
    format.FormatTag = 1;
    format.Channels = static_cast<uint16_t>(numChannels);
    format.SamplesPerSec = static_cast<uint32_t>(sampleRate);
    format.AvgBytesPerSec = static_cast<uint32_t>(PluginState.BytesPerSecond);
    format.BlockAlign = blockAlign;
    format.BitsPerSample = static_cast<uint16_t>(bitsPerSample);

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
    return PluginState.BuffSize;
}

static void __cdecl Close() {
    if (SendRequest(CMD_CLOSE, nullptr, 0)) AwaitReply(CMD_CLOSE);
    PluginState.StreamOpen = 0;
}

static int __cdecl Write(char *buffer, int length) {
    // A length with no buffer would announce bytes that never follow.
    if (length <= 0 || !buffer) return 1;
    // On a connection that the service has ended a send may still go out into
    // the void; the failure is reported now rather than never.
    if (LinkReaderEnded() || !SendRequest(CMD_WRITE, buffer, length)) return SendFailure();
    AddToCounter(&PluginState.WrittenBytes, length);
    return 0;
}

static int __cdecl Pause(int pause) {
    int previous = PluginState.Paused;
    if (previous != 0 && pause == 0) ClockResume();
    PluginState.Paused = pause;
    SendRequest(pause != 0 ? CMD_PAUSE : CMD_RESUME, nullptr, 0);
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
