// The record through which the player drives an output plug-in: what the
// plug-in's only export, winampGetOutModule, hands out. Shared by the plug-in
// and by our own host, which loads output plug-ins the way the player does.
#pragma once

#include <windows.h>

#define OUT_VER 0x10

// Every operation uses the player's C calling convention.
struct Out_Module {
    int version;
    const char *description;
    int id;

    // Filled in by the host; the plug-in never reads them.
    HWND hMainWindow;
    HINSTANCE hDllInstance;

    void (__cdecl *Config)(HWND parent);
    void (__cdecl *About)(HWND parent);
    void (__cdecl *Init)();
    void (__cdecl *Quit)();
    // Returns the buffer length in milliseconds, or -1 on failure.
    int (__cdecl *Open)(int sampleRate, int numChannels, int bitsPerSample, int bufferLenMs,
                        int preBufferMs);
    void (__cdecl *Close)();
    // Returns 0 when the block was taken, 1 for an empty one.
    int (__cdecl *Write)(char *buffer, int length);
    int (__cdecl *CanWrite)();
    int (__cdecl *IsPlaying)();
    // Returns the previous pause flag.
    int (__cdecl *Pause)(int pause);
    void (__cdecl *SetVolume)(int volume);
    void (__cdecl *SetPan)(int pan);
    void (__cdecl *Flush)(int positionMs);
    int (__cdecl *GetOutputTime)();
    int (__cdecl *GetWrittenTime)();
};

typedef Out_Module *(__cdecl *GetOutModuleFunction)();
