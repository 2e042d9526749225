// The plug-in's settings: where its INI file is, and the three values it
// holds. Read at Init and written at Quit and by the dialog; the layers read
// them.
#pragma once

#include <windows.h>
#include <stdint.h>

struct PluginStateRecord {
    char SettingsPath[MAX_PATH];
    HINSTANCE ModuleInstance;

    char ServerAddr[MAX_PATH];
    uint16_t ServerPort;
    int BuffSize;
};

extern PluginStateRecord PluginState;

// The module description, also the title of every error box.
extern const char PluginTitle[];
