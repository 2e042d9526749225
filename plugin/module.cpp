// The module layer: the DLL's entry point, the record that
// winampGetOutModule hands out, and the player's operations that start and
// stop the module and carry a stream. It calls the stream layer (stream.h,
// volume.h) and shows what the stream reports in boxes (boxes.h); nothing
// below calls up into it.
#include <winsock2.h>
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "plugin/accounting.h"
#include "plugin/boxes.h"
#include "plugin/config_dialog.h"
#include "plugin/out_module.h"
#include "plugin/plugin_state.h"
#include "plugin/settings.h"
#include "plugin/stream.h"
#include "plugin/stream_state.h"
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
    ResetVolume();
    Stream.StreamOpen = 0;
    ReadSettings();
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0) {
        ShowError("No server connection!");
        return;
    }
    Say(ConnectStream());
}

static void __cdecl Quit() {
    EndStream();
    WSACleanup();
    WriteSettings();
}

static int __cdecl Open(int sampleRate, int numChannels, int bitsPerSample, int, int) {
    StreamReport report = OpenStream(sampleRate, numChannels, bitsPerSample);
    Say(report);
    return report == REPORT_NOTHING ? PluginState.BuffSize : -1;
}

static void __cdecl Close() { CloseStream(); }

static int __cdecl Write(char *buffer, int length) {
    // A length with no buffer would announce bytes that never follow.
    if (length <= 0 || !buffer) return 1;
    Say(WriteStream(buffer, length));
    return 0;
}

static int __cdecl Pause(int pause) { return PauseStream(pause); }

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
