// Loads an output plug-in DLL the way the player does: the module, its record
// from winampGetOutModule, the two host members filled in.
#pragma once

#include <windows.h>

#include <string>

#include "plugin/out_module.h"

struct LoadedPlugin {
    HMODULE Module = nullptr;
    Out_Module *Out = nullptr;
};

// False with a message in *error when the DLL cannot be used; nothing stays
// loaded then. Init is not called here.
bool LoadOutputPlugin(const wchar_t *path, HWND mainWindow, LoadedPlugin *plugin,
                      std::string *error);
void UnloadOutputPlugin(LoadedPlugin *plugin);
